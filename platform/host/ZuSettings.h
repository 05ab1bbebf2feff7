// Settings stores, read from one INI-style file.
//
// Path: ZUCLOUD_CONFIG, default /etc/zucloud/zucloud.conf; a missing file
// means every key is absent. Section [GlobalParam] holds the ZUGlobalParam
// keys; every other section is a ZUPlatformInfo section of that name. Lines
// are "key = value" (keys may contain blanks, blanks around key and value are
// trimmed); lines starting with '#' or ';' are comments; names compare
// case-sensitively. Each store object reads the file when it is constructed.
#ifndef ZUCLOUD_PLATFORM_ZU_SETTINGS_H
#define ZUCLOUD_PLATFORM_ZU_SETTINGS_H

#include <map>
#include <string>

namespace zu {

// Parsed settings file: section name -> key -> value.
using SettingsSections = std::map<std::string, std::map<std::string, std::string>>;

// Reads `path`; a missing or unreadable file gives no sections.
SettingsSections LoadSettingsFile(const std::string& path);
// Parses the text of a settings file.
SettingsSections ParseSettingsText(const std::string& text);
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
  int get(const std::string& key, std::string& out,
          void* reserved = nullptr) const;

 private:
  std::map<std::string, std::string> m_values;
};

class ZUPlatformInfo {
 public:
  ZUPlatformInfo();
  // 1 when the key was found as a whole unsigned decimal number and `*out`
  // set; 0 otherwise.
  int getNumber(const std::string& section, const std::string& key,
                unsigned long* out) const;

 private:
  zu::SettingsSections m_sections;
};

#endif  // ZUCLOUD_PLATFORM_ZU_SETTINGS_H
