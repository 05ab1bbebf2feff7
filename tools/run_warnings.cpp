#include "run_warnings.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zutool {
namespace {

constexpr char kDefaultStateDir[] = "/var/lib/zucloud";

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\f\v";
  const size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// Why this user's uploads cannot keep journals in `dir`, "" when they can.
// The library creates a missing folder (and its parents), and wants one of
// its own, not a symbolic link, that it may set to mode 0700.
std::string StateFolderProblem(const std::string& dir) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    // Missing: the nearest folder above it must let this user make it.
    std::string parent = dir;
    while (!parent.empty()) {
      const size_t slash = parent.find_last_of('/');
      parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
      struct stat above;
      if (::stat(parent.c_str(), &above) == 0) {
        if (!S_ISDIR(above.st_mode)) return parent + " is not a directory";
        if (::access(parent.c_str(), W_OK | X_OK) != 0) {
          return "it is missing and cannot be made in " + parent + " (" + std::strerror(errno) +
                 ")";
        }
        return std::string();
      }
      if (parent == "/" || parent == ".") break;
    }
    return "it is missing";
  }
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "it is not a directory";
  if (st.st_uid != ::geteuid()) {
    return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return std::string();
}

}  // namespace

bool ReadSettingsText(const std::string& path, std::string& text) {
  constexpr size_t kMaxSettings = 1 << 20;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<unsigned long long>(st.st_size) <= kMaxSettings;
  text.clear();
  char buffer[16384];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || text.size() + static_cast<size_t>(got) > kMaxSettings) {
      ok = got == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return ok;
}

bool GlobalSetting(const std::string& settingsText, const std::string& key, std::string& value) {
  std::string section;
  bool found = false;
  size_t start = 0;
  // A UTF-8 byte order mark is no part of the first line.
  if (settingsText.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start <= settingsText.size()) {
    size_t end = settingsText.find('\n', start);
    if (end == std::string::npos) end = settingsText.size();
    const std::string line = Trim(settingsText.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() == ']') section = Trim(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t eq = line.find('=');
    if (section != "GlobalParam" || eq == std::string::npos || Trim(line.substr(0, eq)) != key) {
      continue;
    }
    value = Trim(line.substr(eq + 1));
    found = true;
  }
  return found;
}

std::string PlainHttpWarning(const std::string& settingsText, const std::string& settingsFile,
                             const std::string& user) {
  std::string url;
  // Without the setting the built-in console URL is https.
  if (!GlobalSetting(settingsText, "Cloud URL", url) || url.empty()) return std::string();
  const size_t scheme = url.find("://");
  std::string how;
  if (scheme == std::string::npos) {
    how = "it names no scheme, so http is used";
  } else if (strncasecmp(url.c_str(), "http://", 7) == 0) {
    how = "it is http";
  } else {
    return std::string();
  }
  return "the password of " + user + " will be sent over plain http, readable by anyone on the " +
         "network path: \"Cloud URL = " + url + "\" in " + settingsFile + " (" + how +
         "); use an https:// URL";
}

std::string ResumeOffWarning(const std::string& settingsText, const std::string& settingsFile) {
  std::string resume;
  // A boolean word other than true (in any case) counts as false.
  if (GlobalSetting(settingsText, "bEnableZUCloudDRBackupResume", resume) && !resume.empty() &&
      strcasecmp(resume.c_str(), "true") != 0) {
    return "resume is off (\"bEnableZUCloudDRBackupResume = " + resume + "\" in " + settingsFile +
           "): a file whose upload is interrupted is sent again whole";
  }
  const char* variable = std::getenv("ZUCLOUD_STATE_DIR");
  const std::string dir = variable != nullptr && *variable != '\0' ? variable : kDefaultStateDir;
  const std::string problem = StateFolderProblem(dir);
  if (problem.empty()) return std::string();
  return "resume is off for this run: the state folder " + dir + " cannot be used (" + problem +
         "), so a file whose upload is interrupted is sent again whole; set ZUCLOUD_STATE_DIR " +
         "to a folder of yours";
}

}  // namespace zutool
