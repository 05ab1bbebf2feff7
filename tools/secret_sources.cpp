#include "secret_sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "regular_file.h"

namespace zutool {
namespace {

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

// Whether the authority of `url` (after "scheme://", up to the path) holds
// user information ("user:password@"), as curl would read it.
bool HasUserInfo(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start).find('@') !=
         std::string::npos;
}

}  // namespace

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

}  // namespace zutool
