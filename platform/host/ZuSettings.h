// Settings stores, read from one INI-style file.
//
// Path: ZUCLOUD_CONFIG, default /etc/zucloud/zucloud.conf; a missing file
// means every key is absent. Section [GlobalParam] holds the ZUGlobalParam
// keys; every other section is a ZUPlatformInfo section of that name. Lines
// are "key = value" (keys may contain blanks, blanks around key and value are
// trimmed); lines starting with '#' or ';' are comments; names compare
// case-sensitively. Each store object reads the file when it is constructed.
//
// The file is opened without waiting (a FIFO at the path must not stall the
// host) and used only when it is a regular file of at most 1 MiB; anything
// else counts as a missing file. The file decides where the password is sent
// and whether certificates are checked, so one that other users may change
// is still used but earns a warning (SettingsFileNotice).
#ifndef ZUCLOUD_PLATFORM_ZU_SETTINGS_H
#define ZUCLOUD_PLATFORM_ZU_SETTINGS_H

#include <map>
#include <string>
#include <vector>

namespace zu {

// Parsed settings file: section name -> key -> value.
using SettingsSections = std::map<std::string, std::map<std::string, std::string>>;

// What the reader made of one line of a settings file that is neither
// blank nor a comment.
struct SettingsLine {
  enum class Kind {
    kSection,     // "[name]": `section` is the name
    kValue,       // "key = value" in `section` ("" before any section line)
    kUnreadable,  // neither: a line without '=', an empty key, "[name" unclosed
  };
  Kind kind = Kind::kValue;
  int number = 0;       // from 1
  std::string section;  // the section the line starts or is in
  std::string key;      // kValue
  std::string value;    // kValue
  std::string text;     // the whole line, trimmed
};

// Largest settings file read; a larger one counts as missing.
constexpr size_t kMaxSettingsFileBytes = 1024 * 1024;

// Reads `path`; a missing or unreadable file, and one that is not a regular
// file of at most kMaxSettingsFileBytes, gives no sections.
SettingsSections LoadSettingsFile(const std::string& path);
// One line about the file at `path` for the log, or "" when there is nothing
// to say (a usable file only this user or root may change, or no file):
// why an existing file is not used, or that other users may change it (it
// is world-writable or belongs to a user other than root and this process's
// effective user).
std::string SettingsFileNotice(const std::string& path);
// Parses the text of a settings file.
SettingsSections ParseSettingsText(const std::string& text);
// The lines of the text of a settings file as ParseSettingsText reads them.
std::vector<SettingsLine> ReadSettingsLines(const std::string& text);
// The lines of the file at `path`, under the rules of LoadSettingsFile
// (nothing when it would give no sections).
std::vector<SettingsLine> LoadSettingsLines(const std::string& path);
// ZUCLOUD_CONFIG or the default path.
std::string SettingsFilePath();

}  // namespace zu

class ZUGlobalParam {
 public:
  ZUGlobalParam();
  // 0 when the key was found and `out` set; non-zero otherwise. The int form
  // finds only whole signed 32-bit decimal numbers. `out` is left unchanged
  // when the key is absent.
  int get(const std::string& key, int& out, void* reserved = nullptr) const;
  int get(const std::string& key, std::string& out, void* reserved = nullptr) const;

 private:
  std::map<std::string, std::string> m_values;
};

class ZUPlatformInfo {
 public:
  ZUPlatformInfo();
  // 1 when the key was found as a whole unsigned decimal number and `*out`
  // set; 0 otherwise.
  int getNumber(const std::string& section, const std::string& key, unsigned long* out) const;

 private:
  zu::SettingsSections m_sections;
};

#endif  // ZUCLOUD_PLATFORM_ZU_SETTINGS_H
