// Every setting of the settings file in one table: its section, key, type,
// default, bounds, when it is read and who reads it. The readers of the
// file (ServiceSettings.cpp, UploadTuning.cpp, GatewaySession.cpp and the
// blob service) read each value through SettingsSnapshot, which applies the
// table's default and bounds; platform/host/ZuSettings.h stays the reader
// of the file itself. docs/operations.md lists the same settings, and a
// test holds the two together.
#ifndef ZUCLOUD_SESSION_SETTINGS_TABLE_H
#define ZUCLOUD_SESSION_SETTINGS_TABLE_H

#include <cstddef>
#include <optional>
#include <string>

#include "platform/host/ZuSettings.h"

namespace zu {

enum class SettingType {
  kInt,       // [GlobalParam] whole signed 32-bit decimal
  kUnsigned,  // other sections: whole unsigned decimal
  kWord,      // boolean word: lower-cased "true" is true, other text false, empty the default
  kString,    // text as found
};

enum class SettingRead {
  kConstruction,  // once, by the service constructors
  kInit,          // by init
  kEachUpload,    // when each upload starts
  kEachGateway,   // when each gateway opens
  kEachRequest,   // by each request that needs it
};

struct SettingRow {
  const char* section;  // "GlobalParam", "UpdateFlags", "Reports"
  const char* key;
  SettingType type;
  // The default as docs/operations.md writes it: a number, "true" or
  // "false", "off" or "none" (numbers whose default 0 means "not set"), or
  // "see below" (the web-console URL's own rules).
  const char* defaultText;
  long long defaultValue;  // numbers and words (1 true, 0 false)
  // Numbers: a value below `minimum` is the default; one above `maximum`
  // is `maximum` when `clampAbove`, else the default.
  long long minimum;
  long long maximum;
  bool clampAbove;
  SettingRead read;
  const char* reader;  // the function that reads it
};

// The table.
extern const SettingRow kSettings[];
extern const size_t kSettingCount;

// The row of `key`; null for a key that is no setting.
const SettingRow* FindSetting(const char* key);

// One reading of the settings file, and its values by the table's rules.
// Asking for a key that is not in the table, or for a number of a word, is
// a mistake of the caller: it gets 0, false or nothing.
class SettingsSnapshot {
 public:
  SettingsSnapshot() = default;  // reads the file

  // A number setting: its value within the table's bounds, or its default.
  long long Number(const char* key) const;
  // A word setting: true or false by the word's rule, or its default.
  bool Word(const char* key) const;
  // A word or string setting as written; nothing when it is absent.
  std::optional<std::string> Text(const char* key) const;

 private:
  ZUGlobalParam m_global;
  ZUPlatformInfo m_sections;
};

}  // namespace zu

#endif  // ZUCLOUD_SESSION_SETTINGS_TABLE_H
