// What zucloud-upload tells the operator before a run starts, from the
// settings file and the state folder: a password about to cross the
// network in clear, and a run whose interrupted uploads cannot resume.
#ifndef ZUCLOUD_TOOLS_RUN_WARNINGS_H
#define ZUCLOUD_TOOLS_RUN_WARNINGS_H

#include <string>

namespace zutool {

// The text of the settings file `path` (a regular file of at most 1 MiB,
// as the library reads it); false when it cannot be read.
bool ReadSettingsText(const std::string& path, std::string& text);

// The value of `key` in the [GlobalParam] section of the settings text,
// read as the library reads it (blanks trimmed, '#' and ';' comment lines,
// the last of a repeated key); false when it is not there.
bool GlobalSetting(const std::string& settingsText, const std::string& key, std::string& value);

// Not empty when the web console URL of the settings ("Cloud URL") is
// plain http (or has no scheme, which libcurl reads as http): the warning
// that `user`'s password will be readable on the network.
std::string PlainHttpWarning(const std::string& settingsText, const std::string& settingsFile,
                             const std::string& user);

// Not empty when blob uploads of this run keep no resume journal: the
// setting turns resume off, or the state folder (ZUCLOUD_STATE_DIR, default
// /var/lib/zucloud) cannot be used by this user. Says which and why.
std::string ResumeOffWarning(const std::string& settingsText, const std::string& settingsFile);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_RUN_WARNINGS_H
