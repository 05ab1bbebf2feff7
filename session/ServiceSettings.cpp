#include "session/ServiceSettings.h"

#include <climits>

#include "platform/host/ZuSettings.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Base64.h"
#include "platform/text/FXString.h"

namespace zu {

namespace {

// The boolean word settings of both services.
constexpr const char* kBooleanSettings[] = {
    "bEnableZUCloudConnectionReuse",
    "bEnableZUCloudDRBackupAPIMode",
    "bEnableZUCloudDRBackupAzureFunctionsMode",
    "bEnableZUCloudDRBackupResume",
    "bEnableZUCloudDRBackupContentMD5",
    "bEnableZUCloudDRBackupVerify",
    "bEnableZUCloudDRBackupKeepPageCache",
};

}  // namespace

std::string BooleanWordWarning(const char* key, const std::string& word) {
  if (word.empty() || FXString::EqualsNoCase(word, "true") ||
      FXString::EqualsNoCase(word, "false")) {
    return std::string();
  }
  return std::string("Setting \"") + key + "\" is [" + word + "], which counts as false; it " +
         "accepts true or false (any letter case), or no value for its default.";
}

void LogSettingsFileNotice(EvDebug* log, const char* tag) {
  if (log == nullptr) return;
  const std::string notice = SettingsFileNotice(SettingsFilePath());
  if (!notice.empty()) log->Error(tag, "Warning: %s", notice.c_str());
  ZUGlobalParam params;
  for (const char* key : kBooleanSettings) {
    std::string word;
    if (params.get(key, word) != 0) continue;
    const std::string warning = BooleanWordWarning(key, word);
    if (!warning.empty()) log->Error(tag, "Warning: %s", warning.c_str());
  }
}

const char* const kDefaultCloudUrl = "https://cloud.tolvane.com/webconsole";

KeepAliveSettings ReadKeepAliveSettings() {
  KeepAliveSettings settings;
  ZUPlatformInfo info;
  unsigned long value = 0;
  if (info.getNumber("UpdateFlags", "nEnableTCPKeepAlive", &value) == 1) {
    settings.enabled = value != 0;
  }
  // A time beyond what the gateway's long can hold keeps the default rather
  // than wrapping to a negative number.
  if (info.getNumber("UpdateFlags", "nKeepIntervalSeconds", &value) == 1 &&
      value <= static_cast<unsigned long>(LONG_MAX)) {
    settings.intervalSeconds = static_cast<long long>(value);
  }
  if (info.getNumber("UpdateFlags", "nKeepIdleSeconds", &value) == 1 &&
      value <= static_cast<unsigned long>(LONG_MAX)) {
    settings.idleSeconds = static_cast<long long>(value);
  }
  return settings;
}

bool ParseBooleanWord(const std::string& text, bool defaultValue) {
  if (text.empty()) return defaultValue;
  return FXString::EqualsNoCase(text, "true");
}

bool ReadBooleanSetting(const ZUGlobalParam& params, const char* key, bool defaultValue) {
  std::string word;
  if (params.get(key, word) != 0) return defaultValue;
  return ParseBooleanWord(word, defaultValue);
}

bool ReadConnectionReuse() {
  return ReadBooleanSetting(ZUGlobalParam(), "bEnableZUCloudConnectionReuse", true);
}

ProxySettings ReadProxySettings() {
  ZUGlobalParam params;
  ProxySettings settings;
  if (params.get("ZUCloudProxyURL", settings.url) != 0) settings.url.clear();
  if (params.get("ZUCloudProxyBypass", settings.bypass) != 0) settings.bypass.clear();
  return settings;
}

BlobSettings ReadBlobSettings() {
  BlobSettings settings;
  ZUGlobalParam params;
  int number = 0;
  if (params.get("DRBackupRetryCount", number) == 0 && number >= 1) {
    settings.retryCount = number;
  }
  if (params.get("DRBackupUploadBlobSize", number) == 0 && number >= 1) {
    // Converted in 64 bits: 2048 MiB and more do not overflow.
    settings.uploadBlobSize = static_cast<long long>(number) * 1048576LL;
  }
  if (params.get("DRBackupUploadStreamCount", number) == 0 && number >= 1) {
    settings.uploadStreamCount = number;
  }
  settings.apiMode = ReadBooleanSetting(params, "bEnableZUCloudDRBackupAPIMode", true);
  settings.azureFunctionsMode =
      ReadBooleanSetting(params, "bEnableZUCloudDRBackupAzureFunctionsMode", false);
  if (params.get("ZUCloudDRBackupMaximumBackoff", number) == 0 && number >= 0 && number <= 3600) {
    settings.maximumBackoffSeconds = number;
  }
  return settings;
}

std::string ResolveCloudUrl(const std::string& currentUrl) {
  ZUGlobalParam params;
  std::string url;
  // A present setting wins even when empty: init then stops at its
  // empty-URL check instead of sending the credentials to another host.
  if (params.get("Cloud URL", url) == 0) return url;
  if (!currentUrl.empty()) return currentUrl;
  return kDefaultCloudUrl;
}

std::string EncodePassword(const std::string& password) { return Base64OneLine(password); }

}  // namespace zu
