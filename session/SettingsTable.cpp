#include "session/SettingsTable.h"

#include <climits>
#include <cstring>

#include "platform/text/FXString.h"

namespace zu {
namespace {

constexpr SettingType kInt = SettingType::kInt;
constexpr SettingType kUnsigned = SettingType::kUnsigned;
constexpr SettingType kWord = SettingType::kWord;
constexpr SettingType kString = SettingType::kString;
constexpr SettingRead kConstruction = SettingRead::kConstruction;
constexpr SettingRead kInit = SettingRead::kInit;
constexpr SettingRead kEachUpload = SettingRead::kEachUpload;
constexpr SettingRead kEachGateway = SettingRead::kEachGateway;
constexpr SettingRead kEachRequest = SettingRead::kEachRequest;
constexpr const char* kGlobal = "GlobalParam";

}  // namespace

// The word rows are in the order of init's warnings about them (see
// LogSettingsFileNotice).
// clang-format off
const SettingRow kSettings[] = {
    // section, key, type, default as written, default, minimum, maximum, clamp above, read, reader
    {kGlobal, "bEnableZUCloudConnectionReuse", kWord, "true", 1, 0, 0, false, kEachGateway, "ReadConnectionReuse"},
    {kGlobal, "Cloud URL", kString, "see below", 0, 0, 0, false, kInit, "ResolveCloudUrl"},
    {kGlobal, "DRBackupRetryCount", kInt, "30", 30, 1, INT_MAX, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "DRBackupUploadBlobSize", kInt, "16", 16, 1, INT_MAX, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "DRBackupUploadStreamCount", kInt, "10", 10, 1, INT_MAX, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "DRBackupUploadParallelBlocks", kInt, "1", 1, 1, INT_MAX, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "DRBackupUploadSingleRequestMiB", kInt, "off", 0, 1, 256, true, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "DRBackupUploadMaxMbps", kInt, "none", 0, 1, INT_MAX, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "bEnableZUCloudDRBackupAPIMode", kWord, "true", 1, 0, 0, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "bEnableZUCloudDRBackupAzureFunctionsMode", kWord, "false", 0, 0, 0, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "ZUCloudDRBackupMaximumBackoff", kInt, "16", 16, 0, 3600, false, kConstruction, "ReadBlobSettings"},
    {kGlobal, "bEnableZUCloudDRBackupResume", kWord, "true", 1, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "bEnableZUCloudDRBackupContentMD5", kWord, "false", 0, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "bEnableZUCloudDRBackupVerify", kWord, "false", 0, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "bEnableZUCloudDRBackupKeepPageCache", kWord, "false", 0, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "DRBackupUploadAccessTier", kString, "none", 0, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "DRBackupEncryptionKeyFile", kString, "none", 0, 0, 0, false, kEachUpload, "ReadUploadTuning"},
    {kGlobal, "ZUCloudProxyURL", kString, "none", 0, 0, 0, false, kEachGateway, "ReadProxySettings"},
    {kGlobal, "ZUCloudProxyBypass", kString, "none", 0, 0, 0, false, kEachGateway, "ReadProxySettings"},
    {kGlobal, "ZUCloudDRBackupAzureBaseUrl", kString, "none", 0, 0, 0, false, kEachRequest, "ConfiguredBaseUrl (Azure Functions set-up and finalize)"},
    {"UpdateFlags", "nEnableTCPKeepAlive", kUnsigned, "off", 0, 0, LLONG_MAX, true, kConstruction, "ReadKeepAliveSettings"},
    {"UpdateFlags", "nKeepIdleSeconds", kUnsigned, "120", 120, 0, LONG_MAX, false, kConstruction, "ReadKeepAliveSettings"},
    {"UpdateFlags", "nKeepIntervalSeconds", kUnsigned, "60", 60, 0, LONG_MAX, false, kConstruction, "ReadKeepAliveSettings"},
    {"Reports", "nWebReportsIgnoreCertificateErrors", kUnsigned, "0", 0, 0, LLONG_MAX, true, kEachGateway, "IgnoreCertificateErrors"},
};
// clang-format on

const size_t kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

const SettingRow* FindSetting(const char* key) {
  for (const SettingRow& row : kSettings) {
    if (std::strcmp(row.key, key) == 0) return &row;
  }
  return nullptr;
}

namespace {

// `value`, found in the file, within the bounds of `row`.
long long Bounded(const SettingRow& row, unsigned long long value) {
  if (value > static_cast<unsigned long long>(row.maximum)) {
    return row.clampAbove ? row.maximum : row.defaultValue;
  }
  return static_cast<long long>(value);
}

}  // namespace

long long SettingsSnapshot::Number(const char* key) const {
  const SettingRow* row = FindSetting(key);
  if (row == nullptr) return 0;
  if (row->type == SettingType::kInt) {
    int value = 0;
    if (m_global.get(key, value) != 0 || value < row->minimum) return row->defaultValue;
    return Bounded(*row, static_cast<unsigned long long>(value));
  }
  if (row->type == SettingType::kUnsigned) {
    unsigned long value = 0;
    if (m_sections.getNumber(row->section, key, &value) != 1 ||
        value < static_cast<unsigned long>(row->minimum)) {
      return row->defaultValue;
    }
    return Bounded(*row, value);
  }
  return 0;
}

bool SettingsSnapshot::Word(const char* key) const {
  const SettingRow* row = FindSetting(key);
  if (row == nullptr || row->type != SettingType::kWord) return false;
  const std::optional<std::string> word = Text(key);
  if (!word || word->empty()) return row->defaultValue != 0;
  return FXString::EqualsNoCase(*word, "true");
}

std::optional<std::string> SettingsSnapshot::Text(const char* key) const {
  const SettingRow* row = FindSetting(key);
  if (row == nullptr || std::strcmp(row->section, kGlobal) != 0) return std::nullopt;
  if (row->type != SettingType::kWord && row->type != SettingType::kString) return std::nullopt;
  std::string text;
  if (m_global.get(key, text) != 0) return std::nullopt;
  return text;
}

}  // namespace zu
