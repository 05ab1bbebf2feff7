// What in the settings file the library does not read as it is written:
// lines that are not "key = value", sections and keys it has no use for
// (with the nearest name it knows), keys before any section and numbers it
// cannot read or that lie outside their bounds. init logs each as a
// "Warning:" line (LogSettingsFileNotice); nothing here changes what is
// read: names stay case-sensitive, and a value the table refuses still
// gives the default.
//
// No warning quotes a value other than that of a number setting: a line
// that is not read may hold a password (a proxy URL with credentials, a
// password pasted by mistake).
#ifndef ZUCLOUD_SESSION_SETTINGS_CHECK_H
#define ZUCLOUD_SESSION_SETTINGS_CHECK_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/host/ZuSettings.h"

namespace zu {

// The largest edit distance (letters inserted, removed or replaced, letter
// case aside) at which a name that is not known gets a suggestion.
constexpr size_t kMaxSuggestionDistance = 3;

// The name of `known` nearest to `name`: one equal but for letter case
// first, else the one at the smallest edit distance (letter case aside)
// up to kMaxSuggestionDistance, the first of equals; "" when none is that
// near.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

// The warnings for `lines` of a settings file, in the order of the lines,
// each "line N: " and one or two sentences.
std::vector<std::string> SettingsLineWarnings(const std::vector<SettingsLine>& lines);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_SETTINGS_CHECK_H
