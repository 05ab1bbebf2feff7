#include "session/UploadTuning.h"

#include <string>

#include "platform/host/ZuSettings.h"
#include "session/ServiceSettings.h"

namespace zu {
namespace {
constexpr int kMaxSingleRequestMiB = 256;
}  // namespace

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
  std::string word;
  if (params.get("bEnableZUCloudDRBackupResume", word) == 0) {
    tuning.resume = ParseBooleanWord(word, true);
  }
  return tuning;
}

}  // namespace zu
