#include "session/UploadTuning.h"

#include <cctype>
#include <string>

#include "platform/host/ZuSettings.h"
#include "platform/text/FXString.h"
#include "session/ServiceSettings.h"

namespace zu {
namespace {

constexpr int kMaxSingleRequestMiB = 256;
constexpr const char* kAccessTierSetting = "DRBackupUploadAccessTier";
constexpr const char* kAccessTiers[] = {"Hot", "Cool", "Cold", "Archive"};

void ReadAccessTier(const ZUGlobalParam& params, UploadTuning& tuning) {
  std::string word;
  if (params.get(kAccessTierSetting, word) != 0 || word.empty()) return;
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
  UploadTuning tuning;
  ZUGlobalParam params;
  int number = 0;
  if (params.get("DRBackupUploadParallelBlocks", number) == 0 && number >= 1) {
    tuning.parallelBlocks = number;
  }
  if (streamCount >= 1 && tuning.parallelBlocks > streamCount) {
    tuning.parallelBlocks = static_cast<int>(streamCount);
  }
  if (params.get("DRBackupUploadMaxMbps", number) == 0 && number >= 1) {
    tuning.maxMbps = number;
  }
  if (params.get("DRBackupUploadSingleRequestMiB", number) == 0 && number >= 1) {
    tuning.singleRequestMiB = number > kMaxSingleRequestMiB ? kMaxSingleRequestMiB : number;
  }
  tuning.resume = ReadBooleanSetting(params, "bEnableZUCloudDRBackupResume", true);
  tuning.contentMd5 = ReadBooleanSetting(params, "bEnableZUCloudDRBackupContentMD5", false);
  tuning.verify = ReadBooleanSetting(params, "bEnableZUCloudDRBackupVerify", false);
  tuning.keepPageCache = ReadBooleanSetting(params, "bEnableZUCloudDRBackupKeepPageCache", false);
  ReadAccessTier(params, tuning);
  return tuning;
}

}  // namespace zu
