// Settings stores over one INI-style file. See ZuSettings.h for the format.
//
// Parsing rules beyond the header:
//  - A UTF-8 byte order mark at the start of the file is skipped; a CR before
//    the line feed is dropped (files edited on Windows).
//  - Lines without '=' (other than section headers and comments) are ignored.
//  - The key ends at the first '='; the value may itself contain '='.
//  - Keys that appear before any section header belong to the section "".
//  - When a key repeats within a section, the last value wins.
#include "platform/host/ZuSettings.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses a whole unsigned decimal (digits only, at least one) into `out`,
// failing on overflow of `max`.
bool ParseDigits(const std::string& s, size_t pos, unsigned long long max,
                 unsigned long long& out) {
  if (pos >= s.size()) return false;
  unsigned long long value = 0;
  for (; pos < s.size(); ++pos) {
    if (!IsDigit(s[pos])) return false;
    const unsigned digit = static_cast<unsigned>(s[pos] - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

// A whole signed 32-bit decimal with an optional sign.
bool ParseInt32(const std::string& s, int& out) {
  size_t pos = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    pos = 1;
  }
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(INT_MAX) + 1ULL
               : static_cast<unsigned long long>(INT_MAX);
  unsigned long long magnitude = 0;
  if (!ParseDigits(s, pos, limit, magnitude)) return false;
  if (negative) {
    out = magnitude == limit ? INT_MIN : -static_cast<int>(magnitude);
  } else {
    out = static_cast<int>(magnitude);
  }
  return true;
}

}  // namespace

namespace zu {

SettingsSections ParseSettingsText(const std::string& text) {
  SettingsSections sections;
  std::string current;
  size_t start = 0;
  // Skip a UTF-8 byte order mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() == ']') {
        current = Trim(line.substr(1, line.size() - 2));
        sections[current];  // an empty section still exists
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    sections[current][key] = Trim(line.substr(eq + 1));
  }
  return sections;
}

SettingsSections LoadSettingsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return {};
  return ParseSettingsText(content.str());
}

std::string SettingsFilePath() {
  const char* env = std::getenv("ZUCLOUD_CONFIG");
  if (env != nullptr && *env != '\0') return env;
  return kDefaultSettingsPath;
}

}  // namespace zu

ZUGlobalParam::ZUGlobalParam() {
  zu::SettingsSections sections = zu::LoadSettingsFile(zu::SettingsFilePath());
  auto it = sections.find(kGlobalSection);
  if (it != sections.end()) m_values = std::move(it->second);
}

int ZUGlobalParam::get(const std::string& key, int& out, void*) const {
  auto it = m_values.find(key);
  if (it == m_values.end()) return 1;
  int value = 0;
  if (!ParseInt32(it->second, value)) return 1;
  out = value;
  return 0;
}

int ZUGlobalParam::get(const std::string& key, std::string& out, void*) const {
  auto it = m_values.find(key);
  if (it == m_values.end()) return 1;
  out = it->second;
  return 0;
}

ZUPlatformInfo::ZUPlatformInfo()
    : m_sections(zu::LoadSettingsFile(zu::SettingsFilePath())) {
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
  if (!ParseDigits(it->second, 0, ULONG_MAX, value)) return 0;
  if (out != nullptr) *out = static_cast<unsigned long>(value);
  return 1;
}
