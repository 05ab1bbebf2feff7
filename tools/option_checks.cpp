#include "option_checks.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "regular_file.h"

namespace zutool {
namespace {

// What --tier accepts (any letter case), in the storage service's spelling.
const char* const kAccessTiers[] = {"Hot", "Cool", "Cold", "Archive"};

bool CanonicalTier(const std::string& text, std::string& tier) {
  for (const char* name : kAccessTiers) {
    if (strcasecmp(text.c_str(), name) == 0) {
      tier = name;
      return true;
    }
  }
  return false;
}

}  // namespace

bool CheckServiceAndSettings(const UploadOptions& options, std::string& error) {
  if (options.service != "folder" && options.service != "blob") {
    error = options.service.empty()
                ? "missing --service (folder or blob)"
                : "unknown service '" + options.service + "' (expected folder or blob)";
    return false;
  }
  if (options.configFile.empty()) {
    error = "missing --config FILE";
    return false;
  }
  struct stat st {};
  int fd = OpenRegularFile(options.configFile, "settings file", st, error);
  if (fd < 0) return false;
  close(fd);
  const std::string why = " (it decides where the password is sent)";
  if ((st.st_mode & S_IWOTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "settings file " + options.configFile + " may be changed by any user (mode " + mode +
            ")" + why + "; restrict it with chmod o-w";
    return false;
  }
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    error = "settings file " + options.configFile + " belongs to another user (uid " +
            std::to_string(st.st_uid) + ")" + why + "; it must belong to root or to you";
    return false;
  }
  return true;
}

bool CheckBlobSettings(CommandLine& line, std::string& error) {
  UploadOptions& options = line.options;
  if (!line.tier.empty() && !CanonicalTier(line.tier, options.accessTier)) {
    error = "invalid value for --tier: " + line.tier + " (expected Hot, Cool, Cold or Archive)";
    return false;
  }
  if (options.service != "blob" &&
      (options.contentMd5 || options.verify || !options.accessTier.empty())) {
    error = "--md5, --verify and --tier apply to the blob service only";
    return false;
  }
  if (options.service != "blob" && options.allowPartial) {
    error =
        "--allow-partial applies to the blob service only (the folder service reports no "
        "completion)";
    return false;
  }
  if (options.service != "blob" && !options.encryptionKeyFile.empty()) {
    error = "--encrypt-key applies to the blob service only";
    return false;
  }
  return true;
}

}  // namespace zutool
