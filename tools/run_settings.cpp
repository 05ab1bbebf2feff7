#include "run_settings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zutool {
namespace {

// The settings the options add, one "key = value" line each.
std::string AddedSettings(const UploadOptions& options) {
  std::string added;
  if (options.contentMd5) added += "bEnableZUCloudDRBackupContentMD5 = true\n";
  if (options.verify) added += "bEnableZUCloudDRBackupVerify = true\n";
  if (options.keepPageCache) added += "bEnableZUCloudDRBackupKeepPageCache = true\n";
  if (!options.proxyUrl.empty()) {
    const std::string url =
        options.proxyUser.empty()
            ? options.proxyUrl
            : ProxyUrlWithCredentials(options.proxyUrl, options.proxyUser, options.proxyPassword);
    added += "ZUCloudProxyURL = " + url + "\n";
  }
  if (!options.proxyBypass.empty()) added += "ZUCloudProxyBypass = " + options.proxyBypass + "\n";
  if (!options.accessTier.empty())
    added += "DRBackupUploadAccessTier = " + options.accessTier + "\n";
  if (!options.encryptionKeyFile.empty())
    added += "DRBackupEncryptionKeyFile = " + options.encryptionKeyFile + "\n";
  return added;
}

// The text of the settings file (checked already: a regular file); "" on
// success, else why it cannot be read.
std::string ReadSettingsFile(const std::string& path, std::string& text) {
  const int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return std::strerror(errno);
  std::string problem;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = std::strerror(errno);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(in);
  return problem;
}

// An unnamed private file: O_TMPFILE in `dir`, or a memfd where the file
// system of `dir` has no unnamed files. -1 with `error` set.
int OpenUnnamedFile(const std::string& dir, std::string& error) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  const int tmpfileError = errno;
  // EOPNOTSUPP: the file system has no unnamed files; EISDIR: the kernel
  // does not know O_TMPFILE.
  if (tmpfileError != EOPNOTSUPP && tmpfileError != EISDIR) {
    error = "cannot make the run's private settings copy in " + dir + ": " +
            std::strerror(tmpfileError);
    return -1;
  }
  fd = memfd_create("zucloud-upload settings", MFD_CLOEXEC);
  if (fd >= 0 && fchmod(fd, 0600) == 0) return fd;
  error = "cannot make the run's private settings copy: the file system of " + dir +
          " has no unnamed files (O_TMPFILE: " + std::strerror(tmpfileError) +
          ") and no memory file could be made (memfd_create: " + std::strerror(errno) +
          "); set TMPDIR to a directory on tmpfs, ext4, xfs or btrfs";
  if (fd >= 0) close(fd);
  return -1;
}

bool WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t w = write(fd, text.data() + written, text.size() - written);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    written += static_cast<size_t>(w);
  }
  return true;
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string PercentEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (Unreserved(c)) {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

std::string ProxyUrlWithCredentials(const std::string& url, const std::string& user,
                                    const std::string& password) {
  const size_t scheme = url.find("://");
  const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
  return url.substr(0, host) + PercentEncoded(user) + ":" + PercentEncoded(password) + "@" +
         url.substr(host);
}

bool SettingsForRun(const UploadOptions& options, std::string& path, int& copy,
                    std::string& error) {
  path = options.configFile;
  copy = -1;
  const std::string added = AddedSettings(options);
  if (added.empty()) return true;

  std::string text;
  const std::string problem = ReadSettingsFile(options.configFile, text);
  if (!problem.empty()) {
    error = "cannot read settings file " + options.configFile + ": " + problem;
    return false;
  }
  text += "\n[GlobalParam]\n" + added;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  const int fd = OpenUnnamedFile(dir, error);
  if (fd < 0) return false;
  const std::string named = "/proc/self/fd/" + std::to_string(fd);
  if (!WriteAll(fd, text)) {
    error = "cannot write the run's private settings copy: " + std::string(std::strerror(errno));
    close(fd);
    return false;
  }
  // The library opens the copy by this name: make sure it can.
  const int check = open(named.c_str(), O_RDONLY | O_CLOEXEC);
  if (check < 0) {
    error = "cannot hand the run's private settings copy to the library as " + named + " (" +
            std::strerror(errno) + "); is /proc mounted?";
    close(fd);
    return false;
  }
  close(check);
  path = named;
  copy = fd;
  return true;
}

}  // namespace zutool
