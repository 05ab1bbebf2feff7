#include "upload_options.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "stored_names.h"

namespace zutool {
namespace {

bool ParseInt(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  out = value;
  return true;
}

std::string FormatTime(time_t t) {
  char buf[32];
  struct tm tmv;
  gmtime_r(&t, &tmv);
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
  return buf;
}

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Opens a file the tool or the library reads whole, refusing anything but a
// regular file. O_NONBLOCK keeps open() from waiting for a writer on a FIFO;
// the type is taken from the opened descriptor, so it is the file read.
// Returns the descriptor, or -1 with `error` set.
int OpenRegularFile(const std::string& path, const std::string& what, struct stat& st,
                    std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (fstat(fd, &st) != 0) {
    error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    error = what + " " + path + " is " + FileKind(st.st_mode);
    close(fd);
    return -1;
  }
  return fd;
}

// The first line of the password file (without its line end) into
// `password`; `what` names the file in messages ("password file"). Warns
// when other users may read the file.
bool ReadPasswordFile(const std::string& path, const std::string& what, std::string& password,
                      UploadOptions& options, std::string& error) {
  struct stat st {};
  int fd = OpenRegularFile(path, what, st, error);
  if (fd < 0) return false;
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    options.warnings.push_back(what + " " + path + " can be read by other users (mode " + mode +
                               "); restrict it with chmod 600");
  }
  // A password is one short line; refuse to read a large file whole.
  constexpr size_t kMaxPasswordFile = 64 * 1024;
  if (static_cast<unsigned long long>(st.st_size) > kMaxPasswordFile) {
    close(fd);
    error = what + " " + path + " is larger than 64 KiB: not a password file";
    return false;
  }
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0 || text.size() + static_cast<size_t>(n) > kMaxPasswordFile) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  std::fill(std::begin(buf), std::end(buf), '\0');
  password = text.substr(0, text.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  std::fill(text.begin(), text.end(), '\0');
  return true;
}

// The name of an option the tool does not know, for the error message: the
// text after "=" (or after a one-letter option) may be a secret typed in the
// wrong place, so it is never repeated.
std::string UnknownOptionName(const std::string& arg) {
  size_t keep = 2;
  if (arg.compare(0, 2, "--") == 0) {
    keep = arg.find('=');
    if (keep != std::string::npos) ++keep;
  }
  if (keep == std::string::npos || keep >= arg.size()) return arg;
  return arg.substr(0, keep) + "...";
}

// Why the entry `name` of a folder is not uploaded, "" when it is a
// regular file (`st` then its status).
std::string SkipReason(const std::string& path, struct stat& st) {
  if (stat(path.c_str(), &st) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (S_ISREG(st.st_mode)) return std::string();
  if (S_ISDIR(st.st_mode)) {
    return "a directory (only the regular files directly inside a folder are uploaded)";
  }
  return std::string(FileKind(st.st_mode)) + ", not a regular file";
}

// The regular files directly inside the folder `path`; a warning names
// each entry left out, and the folder when it holds no file to upload.
bool AddFolder(const std::string& path, UploadOptions& options, std::string& error) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    error = "cannot read directory " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  std::string base = path.back() == '/' ? path : path + "/";
  size_t added = 0;
  for (const auto& name : names) {
    struct stat inner;
    const std::string why = SkipReason(base + name, inner);
    if (!why.empty()) {
      options.warnings.push_back("skipped " + base + name + ": " + why);
      continue;
    }
    options.files.push_back(
        {base, name, static_cast<unsigned long long>(inner.st_size), FormatTime(inner.st_mtime)});
    ++added;
  }
  if (added == 0) options.warnings.push_back("folder " + path + " holds no regular file to upload");
  return true;
}

bool AddFile(const std::string& path, UploadOptions& options, std::string& error) {
  std::vector<LocalFile>& files = options.files;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) return AddFolder(path, options, error);
  if (!S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  files.push_back(
      {directory, name, static_cast<unsigned long long>(st.st_size), FormatTime(st.st_mtime)});
  return true;
}

}  // namespace

std::string HelpText() {
  return "usage: zucloud-upload --service folder|blob --config FILE --user NAME\n"
         "         (--password-env VAR | --password-file FILE) --vestrum-guid GUID\n"
         "         [OPTION...] FILE|DIRECTORY...\n"
         "Uploads DR backup files to the cloud through libzucloud, as a backup server's\n"
         "DR job does, and prints a summary. A DIRECTORY stands for the regular files\n"
         "directly inside it.\n"
         "\n"
         "  --service folder|blob  folder: web console drive share; blob: Azure blobs\n"
         "  --config FILE          settings file of the library; sets ZUCLOUD_CONFIG\n"
         "  --user NAME            account name for the web console login\n"
         "  --password-env VAR     read the password from environment variable VAR\n"
         "  --password-file FILE   read the password from FILE's first line (mode 0600)\n"
         "  --login-extra TEXT     third login credential, for accounts that need one\n"
         "  --vestrum-guid GUID    GUID of this backup server's deployment\n"
         "  --vestrum-id N         blob: numeric id of the deployment (default 0)\n"
         "  --job-id N             blob: DR backup job id (default 0)\n"
         "  --full-job-id N        blob: job id of the full backup it follows (default 0)\n"
         "  --set-id ID            blob: backup set id (default empty)\n"
         "  --backup-level N       blob: backup level (default 0)\n"
         "  --remote-folder NAME   folder: sub-folder to make; blob: folder (DRBackup)\n"
         "  --md5                  blob: send each block's MD5 and store the file's\n"
         "                         (Content-MD5); two MD5 passes, ~3 s of CPU per GiB\n"
         "  --verify               blob: read each blob's length (and MD5) back after its\n"
         "                         commit; one more request per file\n"
         "  --tier Hot|Cool|Cold|Archive  blob: access tier the blobs start in\n"
         "                         (Archive must be rehydrated, for hours, before a\n"
         "                         restore can read it)\n"
         "  --encrypt-key FILE     blob: encrypt each file before it is sent, with the key\n"
         "                         of FILE ({\"kid\", \"key\"}, mode 0600); keep the key:\n"
         "                         without it the backup cannot be restored\n"
         "  --keep-page-cache      keep the files' pages in the page cache after they are\n"
         "                         read (by default each read's pages are dropped)\n"
         "  --proxy URL            proxy of every request (http://host:port); wins over\n"
         "                         the environment's http_proxy, HTTPS_PROXY\n"
         "  --proxy-user NAME      user name for the proxy (with one of the next two)\n"
         "  --proxy-password-env VAR  read the proxy's password from environment variable VAR\n"
         "  --proxy-password-file FILE  read the proxy's password from FILE's first line\n"
         "  --proxy-bypass HOSTS   hosts reached without the proxy (comma-separated, * all)\n"
         "  --focus NAME           library instance focus (default zucloud-upload)\n"
         "  --quiet                no line per file, only the summary\n"
         "  --allow-partial        blob: report the completion when some files failed\n"
         "                         (by default only when every file was stored)\n"
         "  -h, --help             print this help and exit\n"
         "  --version              print the version of zucloud and exit\n"
         "\n"
         "Examples:\n"
         "  zucloud-upload --service folder --config /etc/zucloud/zucloud.conf \\\n"
         "      --user ann --password-file /etc/zucloud/ann.pw --vestrum-guid 7c1e0b52 \\\n"
         "      --remote-folder Nightly /var/backup/dr\n"
         "  zucloud-upload --service blob --config /etc/zucloud/zucloud.conf \\\n"
         "      --user ann --password-env ZU_PW --vestrum-guid 7c1e0b52 --vestrum-id 12 \\\n"
         "      --job-id 3 --set-id set-7 --backup-level 1 /var/backup/dr\n"
         "\n"
         "Exit status: 0 every file stored (blob: and the completion confirmed),\n"
         "1 an upload or the completion failed, 2 bad input or set-up failure.\n"
         "Details: ZUCloudService.log in ZUCLOUD_LOG_DIR (default /var/log/zucloud).\n"
         "See zucloud-upload(1).\n";
}

std::string VersionText() {
  return std::string("zucloud-upload (zucloud) ") + ZUCLOUD_VERSION + "\n";
}

namespace {

// The command line as it is read: the options, and what is checked once
// every argument has been seen.
struct CommandLine {
  UploadOptions& options;
  std::string passwordEnv;
  std::string passwordFile;
  std::vector<std::string> paths;
  std::string tier;  // as typed
  std::string proxyPasswordEnv;
  std::string proxyPasswordFile;
};

// Options that take a text value.
struct TextOption {
  const char* name;
  std::string& (*target)(CommandLine&);
};

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

const TextOption kTextOptions[] = {
    {"--service", [](CommandLine& c) -> std::string& { return c.options.service; }},
    {"--config", [](CommandLine& c) -> std::string& { return c.options.configFile; }},
    {"--user", [](CommandLine& c) -> std::string& { return c.options.user; }},
    {"--password-env", [](CommandLine& c) -> std::string& { return c.passwordEnv; }},
    {"--password-file", [](CommandLine& c) -> std::string& { return c.passwordFile; }},
    {"--vestrum-guid", [](CommandLine& c) -> std::string& { return c.options.vestrumGUID; }},
    {"--set-id", [](CommandLine& c) -> std::string& { return c.options.setId; }},
    {"--remote-folder", [](CommandLine& c) -> std::string& { return c.options.remoteFolder; }},
    {"--focus", [](CommandLine& c) -> std::string& { return c.options.focus; }},
    {"--login-extra", [](CommandLine& c) -> std::string& { return c.options.loginExtra; }},
    {"--tier", [](CommandLine& c) -> std::string& { return c.tier; }},
    {"--proxy", [](CommandLine& c) -> std::string& { return c.options.proxyUrl; }},
    {"--proxy-bypass", [](CommandLine& c) -> std::string& { return c.options.proxyBypass; }},
    {"--proxy-user", [](CommandLine& c) -> std::string& { return c.options.proxyUser; }},
    {"--proxy-password-env", [](CommandLine& c) -> std::string& { return c.proxyPasswordEnv; }},
    {"--proxy-password-file", [](CommandLine& c) -> std::string& { return c.proxyPasswordFile; }},
    {"--encrypt-key", [](CommandLine& c) -> std::string& { return c.options.encryptionKeyFile; }},
};

// Options that take a whole decimal number within [min, max].
struct NumberOption {
  const char* name;
  long long min;
  long long max;
  void (*store)(UploadOptions&, long long);
};

const NumberOption kNumberOptions[] = {
    {"--vestrum-id", INT_MIN, INT_MAX,
     [](UploadOptions& o, long long n) { o.vestrumId = static_cast<int>(n); }},
    {"--job-id", 0, UINT_MAX,
     [](UploadOptions& o, long long n) { o.jobId = static_cast<unsigned int>(n); }},
    {"--full-job-id", 0, UINT_MAX,
     [](UploadOptions& o, long long n) { o.fullJobId = static_cast<unsigned int>(n); }},
    {"--backup-level", INT_MIN, INT_MAX,
     [](UploadOptions& o, long long n) { o.backupLevel = static_cast<int>(n); }},
};

// Options that take no value and set a flag.
struct FlagOption {
  const char* name;
  bool UploadOptions::*flag;
};

const FlagOption kFlagOptions[] = {
    {"--quiet", &UploadOptions::quiet},
    {"--allow-partial", &UploadOptions::allowPartial},
    {"--md5", &UploadOptions::contentMd5},
    {"--verify", &UploadOptions::verify},
    {"--keep-page-cache", &UploadOptions::keepPageCache},
};

// What reading one argument leads to.
enum class ArgumentOutcome { kNext, kHelp, kVersion, kError };

// Reads argv[i] (and its value, moving `i` past it).
// A value comes as the next argument or, for a long option, after "="
// ("--tier=Cool").
ArgumentOutcome ReadArgument(int argc, char** argv, int& i, CommandLine& line, std::string& error) {
  std::string arg = argv[i];
  std::string attached;
  bool hasAttached = false;
  const size_t eq = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos && arg != "--password" &&
      arg.compare(0, 11, "--password=") != 0) {
    attached = arg.substr(eq + 1);
    arg = arg.substr(0, eq);
    hasAttached = true;
  }
  auto value = [&](std::string& out) {
    if (hasAttached) {
      out = attached;
      return true;
    }
    if (i + 1 >= argc) {
      error = "missing value for " + arg;
      return false;
    }
    const std::string text = argv[++i];
    // A line break would start a line of its own in the log and in what
    // the tool prints; the value itself may be a secret, so it is not shown.
    if (text.find_first_of("\r\n") != std::string::npos) {
      error = "the value of " + arg + " holds a line break (CR or LF)";
      return false;
    }
    out = text;
    return true;
  };
  for (const TextOption& option : kTextOptions) {
    if (arg != option.name) continue;
    return value(option.target(line)) ? ArgumentOutcome::kNext : ArgumentOutcome::kError;
  }
  for (const NumberOption& option : kNumberOptions) {
    if (arg != option.name) continue;
    std::string text;
    long long n = 0;
    if (!value(text)) return ArgumentOutcome::kError;
    if (!ParseInt(text, option.min, option.max, n)) {
      error = "invalid number for " + arg + ": " + text;
      return ArgumentOutcome::kError;
    }
    option.store(line.options, n);
    return ArgumentOutcome::kNext;
  }
  if (arg == "--password" || arg.compare(0, 11, "--password=") == 0) {
    error =
        "--password is not accepted: other users can read command lines; use "
        "--password-env or --password-file";
    return ArgumentOutcome::kError;
  }
  if (hasAttached) {
    // Only options that take a value take one after "=".
    error = "unknown option " + UnknownOptionName(argv[i]);
    return ArgumentOutcome::kError;
  }
  for (const FlagOption& option : kFlagOptions) {
    if (arg != option.name) continue;
    line.options.*option.flag = true;
    return ArgumentOutcome::kNext;
  }
  if (arg == "--help" || arg == "-h") return ArgumentOutcome::kHelp;
  if (arg == "--version") return ArgumentOutcome::kVersion;
  if (arg.size() > 1 && arg[0] == '-') {
    error = "unknown option " + UnknownOptionName(arg);
    return ArgumentOutcome::kError;
  }
  line.paths.push_back(arg);
  return ArgumentOutcome::kNext;
}

// The service and the settings file. The library reads the file itself;
// refuse here what would make it wait (a FIFO) or read nothing useful (a
// directory). The file decides where the password is sent and whether
// certificates are checked, so, as ssh does with its configuration, one that
// another user may change is refused too.
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

// --md5, --verify, --tier and --encrypt-key belong to the blob service; the
// tier must be one the storage service knows.
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

// The password from the environment variable or the file named, then the
// credentials and the deployment GUID.
bool ReadCredentials(CommandLine& line, std::string& error) {
  UploadOptions& options = line.options;
  if (!line.passwordEnv.empty() && !line.passwordFile.empty()) {
    error = "give either --password-env or --password-file, not both";
    return false;
  }
  if (!line.passwordEnv.empty()) {
    const char* pw = std::getenv(line.passwordEnv.c_str());
    if (pw == nullptr || *pw == '\0') {
      error = "environment variable " + line.passwordEnv + " named by --password-env is " +
              (pw == nullptr ? "not set" : "empty");
      return false;
    }
    options.password = pw;
  } else if (!line.passwordFile.empty()) {
    if (!ReadPasswordFile(line.passwordFile, "password file", options.password, options, error)) {
      return false;
    }
  }
  if (options.user.empty() || options.password.empty()) {
    error =
        "empty credentials: give --user and a non-empty password through --password-env or "
        "--password-file";
    return false;
  }
  if (options.vestrumGUID.empty()) {
    error = "missing --vestrum-guid";
    return false;
  }
  return true;
}

// Whether the authority of `url` (after "scheme://", up to the path) holds
// user information ("user:password@"), as curl would read it.
bool HasUserInfo(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start).find('@') !=
         std::string::npos;
}

// The proxy's credentials: never in --proxy, where other users could read
// them; the user from --proxy-user and the password from the environment
// variable or the file named, as the console password.
bool ReadProxyCredentials(CommandLine& line, std::string& error) {
  UploadOptions& options = line.options;
  if (HasUserInfo(options.proxyUrl)) {
    error =
        "credentials in --proxy are not accepted: other users can read command lines; give the "
        "proxy's user with --proxy-user and its password with --proxy-password-env or "
        "--proxy-password-file";
    return false;
  }
  const bool hasPassword = !line.proxyPasswordEnv.empty() || !line.proxyPasswordFile.empty();
  if (options.proxyUser.empty()) {
    if (hasPassword) error = "--proxy-password-env and --proxy-password-file need --proxy-user";
    return !hasPassword;
  }
  if (options.proxyUrl.empty()) {
    error = "--proxy-user needs --proxy";
    return false;
  }
  if (!line.proxyPasswordEnv.empty() && !line.proxyPasswordFile.empty()) {
    error = "give either --proxy-password-env or --proxy-password-file, not both";
    return false;
  }
  if (!line.proxyPasswordEnv.empty()) {
    const char* pw = std::getenv(line.proxyPasswordEnv.c_str());
    options.proxyPassword = pw ? pw : "";
  } else if (!line.proxyPasswordFile.empty()) {
    if (!ReadPasswordFile(line.proxyPasswordFile, "proxy password file", options.proxyPassword,
                          options, error)) {
      return false;
    }
  } else {
    error = "--proxy-user needs --proxy-password-env or --proxy-password-file";
    return false;
  }
  if (options.proxyPassword.empty()) {
    error =
        "empty proxy password: give a non-empty one through --proxy-password-env or "
        "--proxy-password-file";
    return false;
  }
  return true;
}

// The files named, a directory standing for the regular files in it; no
// two of them stored under one name.
bool CollectFiles(const CommandLine& line, std::string& error) {
  if (line.paths.empty()) {
    error = "no files to upload";
    return false;
  }
  for (const auto& path : line.paths) {
    if (!AddFile(path, line.options, error)) return false;
  }
  if (line.options.files.empty()) {
    error = "no regular files found to upload in " + line.paths.front();
    for (size_t i = 1; i < line.paths.size(); ++i) error += ", " + line.paths[i];
    return false;
  }
  return CheckStoredNamesDiffer(line.options, error);
}

}  // namespace

ParseOutcome ParseUploadOptions(int argc, char** argv, UploadOptions& options, std::string& error) {
  CommandLine line{options, {}, {}, {}, {}, {}, {}};
  for (int i = 1; i < argc; ++i) {
    switch (ReadArgument(argc, argv, i, line, error)) {
      case ArgumentOutcome::kNext:
        break;
      case ArgumentOutcome::kHelp:
        return ParseOutcome::kHelp;
      case ArgumentOutcome::kVersion:
        return ParseOutcome::kVersion;
      case ArgumentOutcome::kError:
        return ParseOutcome::kError;
    }
  }
  if (!CheckServiceAndSettings(options, error) || !CheckBlobSettings(line, error) ||
      !ReadCredentials(line, error) || !ReadProxyCredentials(line, error) ||
      !CollectFiles(line, error)) {
    return ParseOutcome::kError;
  }
  return ParseOutcome::kUpload;
}

}  // namespace zutool
