#include "session/SettingsCheck.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/text/Decimal.h"
#include "platform/text/FXString.h"
#include "session/SettingsTable.h"

namespace zu {
namespace {

// A name as an operator would type it again is at most this long; the
// distance of longer text is not worked out (it is no typo of a setting).
constexpr size_t kLongestComparedName = 128;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Levenshtein distance of `a` and `b`, letter case aside.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t replace = diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, replace});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<std::string> KnownKeys() {
  std::vector<std::string> keys;
  for (size_t i = 0; i < kSettingCount; ++i) keys.push_back(kSettings[i].key);
  return keys;
}

std::vector<std::string> KnownSections() {
  std::vector<std::string> sections;
  for (size_t i = 0; i < kSettingCount; ++i) {
    if (std::find(sections.begin(), sections.end(), kSettings[i].section) == sections.end()) {
      sections.push_back(kSettings[i].section);
    }
  }
  return sections;
}

bool IsKnownSection(const std::string& section) {
  const std::vector<std::string> sections = KnownSections();
  return std::find(sections.begin(), sections.end(), section) != sections.end();
}

// " Did you mean "KEY"?" (naming its section when it is not `section`),
// or "" when no key is near `key`.
std::string KeySuggestion(const std::string& key, const std::string& section) {
  const std::string nearest = NearestName(key, KnownKeys());
  if (nearest.empty()) return std::string();
  const SettingRow* row = FindSetting(nearest.c_str());
  std::string text = " Did you mean \"" + nearest + "\"";
  if (row != nullptr && section != row->section) text += std::string(" in [") + row->section + "]";
  return text + "?";
}

// The warning for number setting `row` written `value`, or "" when the
// value is read as written (or is empty: the default, as for every setting).
std::string NumberWarning(const SettingRow& row, const std::string& value) {
  if (value.empty()) return std::string();
  const std::string head = "\"" + std::string(row.key) + "\" is [" + value + "], ";
  const std::string byDefault =
      std::string("; its default (") + row.defaultText + ") is used instead.";
  long long number = 0;
  bool aboveMaximum = false;
  if (row.type == SettingType::kInt) {
    if (!ParseSignedDecimal(value, Signs::kPlusOrMinus, INT_MIN, INT_MAX, number)) {
      return head + "not a whole number from -2147483648 to 2147483647" + byDefault;
    }
    aboveMaximum = number > row.maximum;
  } else {
    unsigned long long unsignedNumber = 0;
    if (!ParseDecimal(value, ULONG_MAX, unsignedNumber)) {
      return head + "not a whole number of 0 or more (digits only)" + byDefault;
    }
    aboveMaximum = unsignedNumber > static_cast<unsigned long long>(row.maximum);
    number = aboveMaximum ? row.maximum : static_cast<long long>(unsignedNumber);
  }
  // A number equal to the default says "the default" (0 for "off" or "none").
  if (!aboveMaximum && number == row.defaultValue) return std::string();
  if (number < row.minimum) {
    return head + "below its smallest value " + std::to_string(row.minimum) + byDefault;
  }
  if (aboveMaximum) {
    const std::string largest = std::to_string(row.maximum);
    if (row.clampAbove) {
      return head + "above its largest value " + largest + "; " + largest + " is used instead.";
    }
    return head + "above its largest value " + largest + byDefault;
  }
  return std::string();
}

std::string ValueWarning(const SettingsLine& line) {
  const std::string quoted = "\"" + line.key + "\"";
  if (line.section.empty()) {
    const SettingRow* row = FindSetting(line.key.c_str());
    std::string text = quoted + " comes before any section line, so it is not read.";
    if (row != nullptr) return text + " It belongs in [" + row->section + "].";
    return text + KeySuggestion(line.key, std::string());
  }
  if (!IsKnownSection(line.section)) return std::string();  // warned at the section line
  const SettingRow* row = FindSetting(line.key.c_str());
  if (row == nullptr) {
    return quoted + " is not a setting, so it is not read." + KeySuggestion(line.key, line.section);
  }
  if (line.section != row->section) {
    return quoted + " is not read in [" + line.section + "]: it belongs in [" + row->section + "].";
  }
  if (row->type == SettingType::kInt || row->type == SettingType::kUnsigned) {
    return NumberWarning(*row, line.value);
  }
  return std::string();
}

std::string SectionWarning(const SettingsLine& line) {
  if (IsKnownSection(line.section)) return std::string();
  std::string text = "section [" + line.section + "] is not read, nor any setting in it.";
  const std::string nearest = NearestName(line.section, KnownSections());
  if (!nearest.empty()) text += " Did you mean [" + nearest + "]?";
  return text;
}

// A line that is neither a section nor "key = value". Its text is not
// quoted (it may be a password); a colon line names what stands before
// the colon when that is near a setting.
std::string UnreadableWarning(const SettingsLine& line) {
  if (line.text[0] == '[') {
    const std::string after =
        line.section.empty() ? "are outside any section." : "stay in [" + line.section + "].";
    return "a section line without its closing \"]\"; it is not read, and the lines after it " +
           after;
  }
  std::string text = "the line is not \"key = value\", so it is not read.";
  const size_t colon = line.text.find(':');
  if (colon == std::string::npos) return text;
  std::string before = line.text.substr(0, colon);
  while (!before.empty() && (before.back() == ' ' || before.back() == '\t')) before.pop_back();
  const std::string nearest = NearestName(before, KnownKeys());
  if (!nearest.empty()) text += " Did you mean \"" + nearest + " = ...\"?";
  return text;
}

}  // namespace

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
  if (name.empty() || name.size() > kLongestComparedName) return std::string();
  for (const std::string& candidate : known) {
    if (FXString::EqualsNoCase(candidate, name)) return candidate;
  }
  std::string nearest;
  size_t best = kMaxSuggestionDistance + 1;
  for (const std::string& candidate : known) {
    const size_t distance = EditDistance(name, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

std::vector<std::string> SettingsLineWarnings(const std::vector<SettingsLine>& lines) {
  std::vector<std::string> warnings;
  for (const SettingsLine& line : lines) {
    std::string warning;
    switch (line.kind) {
      case SettingsLine::Kind::kSection:
        warning = SectionWarning(line);
        break;
      case SettingsLine::Kind::kValue:
        warning = ValueWarning(line);
        break;
      case SettingsLine::Kind::kUnreadable:
        warning = UnreadableWarning(line);
        break;
    }
    if (!warning.empty())
      warnings.push_back("line " + std::to_string(line.number) + ": " + warning);
  }
  return warnings;
}

}  // namespace zu
