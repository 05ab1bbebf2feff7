#include "upload_options.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

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

bool AddFile(const std::string& path, std::vector<LocalFile>& files, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
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
    for (const auto& name : names) {
      struct stat inner;
      if (stat((base + name).c_str(), &inner) == 0 && S_ISREG(inner.st_mode)) {
        files.push_back({base, name, static_cast<unsigned long long>(inner.st_size),
                         FormatTime(inner.st_mtime)});
      }
    }
    return true;
  }
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
  files.push_back({directory, name, static_cast<unsigned long long>(st.st_size),
                   FormatTime(st.st_mtime)});
  return true;
}

}  // namespace

std::string UsageText() {
  return "usage: zucloud-upload --service folder|blob --config FILE --user NAME\n"
         "         (--password-env VAR | --password-file FILE) --vestrum-guid GUID\n"
         "         [--vestrum-id N] [--job-id N] [--full-job-id N] [--set-id ID]\n"
         "         [--backup-level N] [--remote-folder NAME] [--focus NAME] [--quiet]\n"
         "         FILE|DIRECTORY...\n"
         "The password is read from the named environment variable or file, never\n"
         "from the command line.\n";
}

bool ParseUploadOptions(int argc, char** argv, UploadOptions& options, std::string& error) {
  std::string passwordEnv;
  std::string passwordFile;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = "missing value for " + arg;
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](long long min, long long max, long long& out) {
      std::string text;
      if (!value(text)) return false;
      if (!ParseInt(text, min, max, out)) {
        error = "invalid number for " + arg + ": " + text;
        return false;
      }
      return true;
    };
    long long n = 0;
    if (arg == "--service") {
      if (!value(options.service)) return false;
    } else if (arg == "--config") {
      if (!value(options.configFile)) return false;
    } else if (arg == "--user") {
      if (!value(options.user)) return false;
    } else if (arg == "--password-env") {
      if (!value(passwordEnv)) return false;
    } else if (arg == "--password-file") {
      if (!value(passwordFile)) return false;
    } else if (arg == "--password") {
      error = "--password is not accepted: other users can read command lines; use "
              "--password-env or --password-file";
      return false;
    } else if (arg == "--vestrum-guid") {
      if (!value(options.vestrumGUID)) return false;
    } else if (arg == "--vestrum-id") {
      if (!number(INT_MIN, INT_MAX, n)) return false;
      options.vestrumId = static_cast<int>(n);
    } else if (arg == "--job-id") {
      if (!number(0, UINT_MAX, n)) return false;
      options.jobId = static_cast<unsigned int>(n);
    } else if (arg == "--full-job-id") {
      if (!number(0, UINT_MAX, n)) return false;
      options.fullJobId = static_cast<unsigned int>(n);
    } else if (arg == "--set-id") {
      if (!value(options.setId)) return false;
    } else if (arg == "--backup-level") {
      if (!number(INT_MIN, INT_MAX, n)) return false;
      options.backupLevel = static_cast<int>(n);
    } else if (arg == "--remote-folder") {
      if (!value(options.remoteFolder)) return false;
    } else if (arg == "--focus") {
      if (!value(options.focus)) return false;
    } else if (arg == "--login-extra") {
      if (!value(options.loginExtra)) return false;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      error = "help";
      return false;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else {
      paths.push_back(arg);
    }
  }
  if (options.service != "folder" && options.service != "blob") {
    error = options.service.empty() ? "missing --service (folder or blob)"
                                    : "unknown service '" + options.service +
                                          "' (expected folder or blob)";
    return false;
  }
  if (options.configFile.empty()) {
    error = "missing --config FILE";
    return false;
  }
  {
    std::ifstream config(options.configFile);
    if (!config) {
      error = "cannot read settings file " + options.configFile + ": " + std::strerror(errno);
      return false;
    }
  }
  if (!passwordEnv.empty() && !passwordFile.empty()) {
    error = "give either --password-env or --password-file, not both";
    return false;
  }
  if (!passwordEnv.empty()) {
    const char* pw = std::getenv(passwordEnv.c_str());
    options.password = pw ? pw : "";
  } else if (!passwordFile.empty()) {
    std::ifstream in(passwordFile, std::ios::binary);
    if (!in) {
      error = "cannot read password file " + passwordFile + ": " + std::strerror(errno);
      return false;
    }
    std::getline(in, options.password);
    if (!options.password.empty() && options.password.back() == '\r') options.password.pop_back();
  }
  if (options.user.empty() || options.password.empty()) {
    error = "empty credentials: give --user and a non-empty password through --password-env or "
            "--password-file";
    return false;
  }
  if (options.vestrumGUID.empty()) {
    error = "missing --vestrum-guid";
    return false;
  }
  if (paths.empty()) {
    error = "no files to upload";
    return false;
  }
  for (const auto& path : paths) {
    if (!AddFile(path, options.files, error)) return false;
  }
  if (options.files.empty()) {
    error = "no regular files found to upload";
    return false;
  }
  return true;
}

}  // namespace zutool
