// Settings stores over one INI-style file. See ZuSettings.h for the format.
//
// Parsing rules beyond the header:
//  - A UTF-8 byte order mark at the start of the file is skipped; a CR before
//    the line feed is dropped (files edited on Windows).
//  - Lines without '=' (other than section headers and comments), and
//    section headers without their closing ']', are ignored (ReadSettingsLines
//    marks them unreadable, so init can warn about them).
//  - The key ends at the first '='; the value may itself contain '='.
//  - Keys that appear before any section header belong to the section "".
//  - When a key repeats within a section, the last value wins.
#include "platform/host/ZuSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/host/Env.h"
#include "platform/text/Decimal.h"

namespace {

const char kDefaultSettingsPath[] = "/etc/zucloud/zucloud.conf";
const char kGlobalSection[] = "GlobalParam";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// The settings file, opened for reading. O_NONBLOCK keeps open(2) from
// waiting for a writer on a FIFO; the type and size are taken from the opened
// descriptor, so they are those of the file read. -1 when the file is missing
// or may not be used, with `problem` set in the second case.
int OpenSettingsFile(const std::string& path, struct stat& st, std::string& problem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) {
      problem = std::string("cannot be opened (") + std::strerror(error) + ")";
    }
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    problem = std::string("cannot be read (") + std::strerror(errno) + ")";
  } else if (!S_ISREG(st.st_mode)) {
    problem = std::string("is ") + FileKind(st.st_mode);
  } else if (static_cast<unsigned long long>(st.st_size) > zu::kMaxSettingsFileBytes) {
    problem = "is larger than 1 MiB";
  } else {
    return fd;
  }
  ::close(fd);
  return -1;
}

// The whole of the regular file `fd`, at most the settings file limit (a
// file that grew past it while read is refused too); false on failure.
bool ReadSettingsText(int fd, std::string& text) {
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (text.size() + static_cast<size_t>(got) > zu::kMaxSettingsFileBytes) return false;
    text.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

namespace zu {
namespace {

// The values of `lines` by section; a section line alone still makes its
// (empty) section.
SettingsSections SectionsOf(std::vector<SettingsLine> lines) {
  SettingsSections sections;
  for (SettingsLine& line : lines) {
    if (line.kind == SettingsLine::Kind::kSection) {
      sections[line.section];
    } else if (line.kind == SettingsLine::Kind::kValue) {
      sections[line.section][line.key] = std::move(line.value);
    }
  }
  return sections;
}

}  // namespace

std::vector<SettingsLine> ReadSettingsLines(const std::string& text) {
  std::vector<SettingsLine> lines;
  std::string current;
  size_t start = 0;
  int number = 0;
  // Skip a UTF-8 byte order mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    SettingsLine line;
    line.number = ++number;
    line.text = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.text.empty() || line.text[0] == '#' || line.text[0] == ';') continue;
    line.kind = SettingsLine::Kind::kUnreadable;
    if (line.text[0] == '[') {
      if (line.text.back() == ']') {
        current = Trim(line.text.substr(1, line.text.size() - 2));
        line.kind = SettingsLine::Kind::kSection;
      }
      line.section = current;
      lines.push_back(std::move(line));
      continue;
    }
    line.section = current;
    const size_t eq = line.text.find('=');
    if (eq != std::string::npos) {
      line.key = Trim(line.text.substr(0, eq));
      line.value = Trim(line.text.substr(eq + 1));
      if (!line.key.empty()) line.kind = SettingsLine::Kind::kValue;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

SettingsSections ParseSettingsText(const std::string& text) {
  return SectionsOf(ReadSettingsLines(text));
}

std::vector<SettingsLine> LoadSettingsLines(const std::string& path) {
  struct stat st {};
  std::string problem;
  const int fd = OpenSettingsFile(path, st, problem);
  if (fd < 0) return {};
  std::string text;
  const bool read = ReadSettingsText(fd, text);
  ::close(fd);
  if (!read) return {};
  return ReadSettingsLines(text);
}

SettingsSections LoadSettingsFile(const std::string& path) {
  return SectionsOf(LoadSettingsLines(path));
}

std::string SettingsFileNotice(const std::string& path) {
  struct stat st {};
  std::string problem;
  const int fd = OpenSettingsFile(path, st, problem);
  if (fd < 0) {
    if (problem.empty()) return problem;
    return "settings file " + path + " " + problem + ": used as if it were missing";
  }
  ::close(fd);
  std::string why;
  if ((st.st_mode & S_IWOTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why = std::string("any user may change it (mode ") + mode + ")";
  }
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    if (!why.empty()) why += " and ";
    why += "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if (why.empty()) return why;
  return "settings file " + path + " is used although " + why +
         "; it decides where the password is sent and whether certificates are checked";
}

std::string SettingsFilePath() { return VariableOr("ZUCLOUD_CONFIG", kDefaultSettingsPath); }

}  // namespace zu

ZUGlobalParam::ZUGlobalParam() {
  zu::SettingsSections sections = zu::LoadSettingsFile(zu::SettingsFilePath());
  auto it = sections.find(kGlobalSection);
  if (it != sections.end()) m_values = std::move(it->second);
}

int ZUGlobalParam::get(const std::string& key, int& out, void*) const {
  auto it = m_values.find(key);
  if (it == m_values.end()) return 1;
  long long value = 0;
  if (!zu::ParseSignedDecimal(it->second, zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, value)) {
    return 1;
  }
  out = static_cast<int>(value);
  return 0;
}

int ZUGlobalParam::get(const std::string& key, std::string& out, void*) const {
  auto it = m_values.find(key);
  if (it == m_values.end()) return 1;
  out = it->second;
  return 0;
}

ZUPlatformInfo::ZUPlatformInfo() : m_sections(zu::LoadSettingsFile(zu::SettingsFilePath())) {
  // [GlobalParam] belongs to ZUGlobalParam, not to this store.
  m_sections.erase(kGlobalSection);
}

int ZUPlatformInfo::getNumber(const std::string& section, const std::string& key,
                              unsigned long* out) const {
  auto sec = m_sections.find(section);
  if (sec == m_sections.end()) return 0;
  auto it = sec->second.find(key);
  if (it == sec->second.end()) return 0;
  unsigned long long value = 0;
  if (!zu::ParseDecimal(it->second, ULONG_MAX, value)) return 0;
  if (out != nullptr) *out = static_cast<unsigned long>(value);
  return 1;
}
