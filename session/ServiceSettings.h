// Settings read by the service constructors and init.
#ifndef ZUCLOUD_SESSION_SERVICE_SETTINGS_H
#define ZUCLOUD_SESSION_SERVICE_SETTINGS_H

#include <string>

class EvDebug;

namespace zu {

// Writes to `log` the one warning the settings file may call for (see
// SettingsFileNotice in platform/host/ZuSettings.h), a warning for each
// line the library does not read as written (SettingsLineWarnings in
// session/SettingsCheck.h) and for each boolean setting written with a word
// other than true or false (BooleanWordWarning); nothing when none is
// needed. The services call it once the log is open, at init.
void LogSettingsFileNotice(EvDebug* log, const char* tag);

// The warning for boolean word setting `key` written `word`: "" for true,
// false (any letter case) or no value; otherwise it names the setting, says
// the word counts as false (as it always has) and lists the words it
// accepts. LogSettingsFileNotice logs one for each boolean setting.
std::string BooleanWordWarning(const char* key, const std::string& word);

// Keep-alive settings of section "UpdateFlags" (both services).
struct KeepAliveSettings {
  bool enabled = false;  // "nEnableTCPKeepAlive" found and not 0
  // A value above LONG_MAX keeps the default.
  long long idleSeconds = 120;     // "nKeepIdleSeconds"
  long long intervalSeconds = 60;  // "nKeepIntervalSeconds"
};
KeepAliveSettings ReadKeepAliveSettings();

// Settings of the blob service ([GlobalParam]), read by the table's rules
// (session/SettingsTable.h).
struct BlobSettings {
  int retryCount = 30;                  // "DRBackupRetryCount", below 1: 30
  long long uploadBlobSize = 16777216;  // "DRBackupUploadBlobSize" MiB, below 1: 16 MiB
  long long uploadStreamCount = 10;     // "DRBackupUploadStreamCount", below 1: 10
  bool apiMode = true;                  // "bEnableZUCloudDRBackupAPIMode"
  bool azureFunctionsMode = false;      // "bEnableZUCloudDRBackupAzureFunctionsMode"
  int maximumBackoffSeconds = 16;       // "ZUCloudDRBackupMaximumBackoff", 0..3600
};
BlobSettings ReadBlobSettings();

// "bEnableZUCloudConnectionReuse" ([GlobalParam], boolean word, default
// true): gateways take and leave their connections in the process's pool.
// Read for each gateway, so a change applies from the next operation on.
bool ReadConnectionReuse();

// "ZUCloudProxyURL" and "ZUCloudProxyBypass" ([GlobalParam], text): the
// proxy of every request (http:// or https://, credentials allowed) and the
// hosts reached without it (libcurl's no-proxy list). Absent or empty: the
// environment decides (http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY). Read
// for each gateway, like connection reuse.
struct ProxySettings {
  std::string url;
  std::string bypass;
};
ProxySettings ReadProxySettings();

// The vendor's cloud web console, used when neither the "Cloud URL"
// setting nor setURL gave a URL.
extern const char* const kDefaultCloudUrl;

// The web-console URL init works with: the "Cloud URL" setting when present
// (also when empty: init then refuses to run), else `currentUrl` (what setURL
// stored) when not empty, else the default.
std::string ResolveCloudUrl(const std::string& currentUrl);

// ResolveCloudUrl's answer and where it came from. A `currentUrl` equal to
// the default counts as the default (an earlier init stored it).
enum class CloudUrlOrigin { kSetting, kSetUrl, kDefault };
struct CloudUrlChoice {
  std::string url;
  CloudUrlOrigin origin = CloudUrlOrigin::kDefault;
};
CloudUrlChoice ChooseCloudUrl(const std::string& currentUrl);

// "URL (from ...)" for the log and the operator: the URL, a user name and
// password in it shown as "***", and where it came from (the setting and
// the settings file's path, setURL, or the built-in default).
std::string DescribeCloudUrl(const CloudUrlChoice& choice);

// Logs, under `tag`, the web-console URL init uses and where it came from.
void LogCloudUrl(EvDebug* log, const char* tag, const CloudUrlChoice& choice);

// Base64 of `password` with every line feed removed.
std::string EncodePassword(const std::string& password);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_SERVICE_SETTINGS_H
