#include "session/ServiceSettings.h"

#include <optional>

#include "platform/host/ZuSettings.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Base64.h"
#include "platform/text/FXString.h"
#include "session/SettingsCheck.h"
#include "session/SettingsTable.h"

namespace zu {

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
  const std::string path = SettingsFilePath();
  const std::string notice = SettingsFileNotice(path);
  if (!notice.empty()) log->Error(tag, "Warning: %s", notice.c_str());
  for (const std::string& warning : SettingsLineWarnings(LoadSettingsLines(path))) {
    log->Error(tag, "Warning: settings file %s, %s", path.c_str(), warning.c_str());
  }
  const SettingsSnapshot settings;
  for (size_t i = 0; i < kSettingCount; ++i) {
    if (kSettings[i].type != SettingType::kWord) continue;
    const std::optional<std::string> word = settings.Text(kSettings[i].key);
    if (!word) continue;
    const std::string warning = BooleanWordWarning(kSettings[i].key, *word);
    if (!warning.empty()) log->Error(tag, "Warning: %s", warning.c_str());
  }
}

const char* const kDefaultCloudUrl = "https://cloud.tolvane.com/webconsole";

KeepAliveSettings ReadKeepAliveSettings() {
  const SettingsSnapshot settings;
  KeepAliveSettings keepAlive;
  keepAlive.enabled = settings.Number("nEnableTCPKeepAlive") != 0;
  // A time beyond what the gateway's long can hold keeps the default rather
  // than wrapping to a negative number (the table's bound).
  keepAlive.intervalSeconds = settings.Number("nKeepIntervalSeconds");
  keepAlive.idleSeconds = settings.Number("nKeepIdleSeconds");
  return keepAlive;
}

bool ReadConnectionReuse() { return SettingsSnapshot().Word("bEnableZUCloudConnectionReuse"); }

ProxySettings ReadProxySettings() {
  const SettingsSnapshot settings;
  ProxySettings proxy;
  proxy.url = settings.Text("ZUCloudProxyURL").value_or(std::string());
  proxy.bypass = settings.Text("ZUCloudProxyBypass").value_or(std::string());
  return proxy;
}

BlobSettings ReadBlobSettings() {
  const SettingsSnapshot settings;
  BlobSettings blob;
  blob.retryCount = static_cast<int>(settings.Number("DRBackupRetryCount"));
  // Converted in 64 bits: 2048 MiB and more do not overflow.
  blob.uploadBlobSize = settings.Number("DRBackupUploadBlobSize") * 1048576LL;
  blob.uploadStreamCount = settings.Number("DRBackupUploadStreamCount");
  blob.apiMode = settings.Word("bEnableZUCloudDRBackupAPIMode");
  blob.azureFunctionsMode = settings.Word("bEnableZUCloudDRBackupAzureFunctionsMode");
  blob.maximumBackoffSeconds = static_cast<int>(settings.Number("ZUCloudDRBackupMaximumBackoff"));
  return blob;
}

std::string ResolveCloudUrl(const std::string& currentUrl) {
  return ChooseCloudUrl(currentUrl).url;
}

CloudUrlChoice ChooseCloudUrl(const std::string& currentUrl) {
  // A present setting wins even when empty: init then stops at its
  // empty-URL check instead of sending the credentials to another host.
  if (std::optional<std::string> url = SettingsSnapshot().Text("Cloud URL")) {
    return CloudUrlChoice{*url, CloudUrlOrigin::kSetting};
  }
  if (!currentUrl.empty() && currentUrl != kDefaultCloudUrl) {
    return CloudUrlChoice{currentUrl, CloudUrlOrigin::kSetUrl};
  }
  return CloudUrlChoice{kDefaultCloudUrl, CloudUrlOrigin::kDefault};
}

namespace {

// `url` with the user name and password of its authority, if any, as "***".
std::string WithoutCredentials(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", begin);
  const size_t at = url.rfind('@', end == std::string::npos ? url.size() : end);
  if (at == std::string::npos || at < begin) return url;
  return url.substr(0, begin) + "***" + url.substr(at);
}

}  // namespace

std::string DescribeCloudUrl(const CloudUrlChoice& choice) {
  std::string text = "[" + WithoutCredentials(choice.url) + "] ";
  switch (choice.origin) {
    case CloudUrlOrigin::kSetting:
      return text + "from setting \"Cloud URL\" of " + SettingsFilePath();
    case CloudUrlOrigin::kSetUrl:
      return text + "given with setURL (the settings file " + SettingsFilePath() +
             " has no \"Cloud URL\")";
    case CloudUrlOrigin::kDefault:
      break;
  }
  return text + "the built-in default (the settings file " + SettingsFilePath() +
         " has no \"Cloud URL\")";
}

void LogCloudUrl(EvDebug* log, const char* tag, const CloudUrlChoice& choice) {
  if (log == nullptr) return;
  log->Debug(tag, "Web console URL %s", DescribeCloudUrl(choice).c_str());
}

std::string EncodePassword(const std::string& password) { return Base64OneLine(password); }

}  // namespace zu
