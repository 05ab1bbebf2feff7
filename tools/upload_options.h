// Command line of zucloud-upload.
#ifndef ZUCLOUD_TOOLS_UPLOAD_OPTIONS_H
#define ZUCLOUD_TOOLS_UPLOAD_OPTIONS_H

#include <string>
#include <vector>

namespace zutool {

struct LocalFile {
  std::string directory;  // ends with '/'
  std::string name;
  unsigned long long size = 0;
  std::string modifiedTime;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
};

struct UploadOptions {
  std::string service;  // "folder" or "blob"
  std::string configFile;
  std::string user;
  std::string password;
  std::string focus = "zucloud-upload";
  std::string vestrumGUID;
  int vestrumId = 0;
  unsigned int jobId = 0;
  unsigned int fullJobId = 0;
  std::string setId;
  int backupLevel = 0;
  std::string remoteFolder;
  std::string loginExtra;
  std::vector<LocalFile> files;
  bool quiet = false;
  // blob: --allow-partial, the completion is reported when some files
  // failed (never when none was stored).
  bool allowPartial = false;
  // blob: settings the run adds to the settings file's own (see
  // SettingsForRun): --md5, --verify, and --tier in the service's spelling
  // ("" none).
  bool contentMd5 = false;
  bool verify = false;
  std::string accessTier;
  // blob: --encrypt-key, the key file of client-side encryption ("" none:
  // the settings file's).
  std::string encryptionKeyFile;
  // Both services: --keep-page-cache, the files' pages stay in the page
  // cache after they are read.
  bool keepPageCache = false;
  // Both services: --proxy and --proxy-bypass ("" none: the settings
  // file's, or the environment's). The URL holds no credentials: the
  // proxy's user is --proxy-user, its password comes from
  // --proxy-password-env or --proxy-password-file.
  std::string proxyUrl;
  std::string proxyBypass;
  std::string proxyUser;
  std::string proxyPassword;
  // Things the operator should know that do not stop the upload.
  std::vector<std::string> warnings;
};

enum class ParseOutcome { kUpload, kHelp, kVersion, kError };

// Parses argv. kError comes with a one-line message in `error` that never
// repeats a value that could be a secret. Reads the password from the
// environment variable or file named on the command line (never from the
// command line itself).
ParseOutcome ParseUploadOptions(int argc, char** argv, UploadOptions& options, std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_UPLOAD_OPTIONS_H
