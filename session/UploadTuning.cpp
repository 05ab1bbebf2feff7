#include "session/UploadTuning.h"

#include <cctype>
#include <string>

#include "platform/text/FXString.h"
#include "session/SettingsTable.h"

namespace zu {
namespace {

constexpr const char* kAccessTierSetting = "DRBackupUploadAccessTier";
constexpr const char* kAccessTiers[] = {"Hot", "Cool", "Cold", "Archive"};

void ReadAccessTier(const SettingsSnapshot& settings, UploadTuning& tuning) {
  const std::string word = settings.Text(kAccessTierSetting).value_or(std::string());
  if (word.empty()) return;
  if (CanonicalAccessTier(word, tuning.accessTier)) return;
  tuning.accessTierProblem = std::string("Error: Setting \"") + kAccessTierSetting + "\" is [" +
                             word +
                             "]; it accepts Hot, Cool, Cold or Archive (any letter case), or no "
                             "value for the account's default tier. Nothing was uploaded.";
}

}  // namespace

bool CanonicalAccessTier(const std::string& text, std::string& tier) {
  for (const char* name : kAccessTiers) {
    if (FXString::EqualsNoCase(text, name)) {
      tier = name;
      return true;
    }
  }
  return false;
}

UploadTuning ReadUploadTuning(long long streamCount) {
  const SettingsSnapshot settings;
  UploadTuning tuning;
  tuning.parallelBlocks = static_cast<int>(settings.Number("DRBackupUploadParallelBlocks"));
  if (streamCount >= 1 && tuning.parallelBlocks > streamCount) {
    tuning.parallelBlocks = static_cast<int>(streamCount);
  }
  tuning.maxMbps = static_cast<int>(settings.Number("DRBackupUploadMaxMbps"));
  tuning.singleRequestMiB = static_cast<int>(settings.Number("DRBackupUploadSingleRequestMiB"));
  tuning.resume = settings.Word("bEnableZUCloudDRBackupResume");
  tuning.contentMd5 = settings.Word("bEnableZUCloudDRBackupContentMD5");
  tuning.verify = settings.Word("bEnableZUCloudDRBackupVerify");
  tuning.keepPageCache = settings.Word("bEnableZUCloudDRBackupKeepPageCache");
  ReadAccessTier(settings, tuning);
  tuning.encryptionKeyFile = settings.Text("DRBackupEncryptionKeyFile").value_or(std::string());
  return tuning;
}

}  // namespace zu
