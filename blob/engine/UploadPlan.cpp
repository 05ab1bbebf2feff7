#include "blob/engine/UploadPlan.h"

#include "blob/storage/BlockId.h"

namespace zu::blob {
namespace {

constexpr unsigned long long kMiB = 1048576ULL;

}  // namespace

UploadPlan PlanUpload(unsigned long long fileSize, unsigned long long configuredBlockSize,
                      long long streamCount, int parallel) {
  UploadPlan plan;
  if (configuredBlockSize < 1) configuredBlockSize = 1;
  if (streamCount < 1) streamCount = 1;
  if (parallel < 1) parallel = 1;
  if (parallel > streamCount) parallel = static_cast<int>(streamCount);

  plan.blockSize = configuredBlockSize;
  int slots = static_cast<int>(streamCount);
  if (BlocksNeeded(fileSize, configuredBlockSize) > kMaxBlocksPerBlob) {
    const unsigned long long perBlock = BlocksNeeded(fileSize, kMaxBlocksPerBlob);
    const unsigned long long raised = BlocksNeeded(perBlock, kMiB) * kMiB;
    if (raised > kMaxBlockBytes) return plan;
    plan.blockSize = raised;
    plan.blockSizeRaised = true;
    // Slot memory stays what the settings give a file that fits (stream
    // count x configured block size) when that holds more than one block;
    // the allowance above it is spent only on the slots parallel blocks need
    // (one per block in flight and one the producer reads into). Neither
    // product overflows: stream counts and block sizes both fit 32 bits.
    const unsigned long long configured =
        static_cast<unsigned long long>(streamCount) * configuredBlockSize;
    const unsigned long long byConfigured = configured / raised;
    const unsigned long long byBudget = (configured + kBudgetAllowance) / raised;
    const unsigned long long wanted = static_cast<unsigned long long>(parallel) + 1;
    unsigned long long affordable = wanted < byBudget ? wanted : byBudget;
    if (byConfigured > affordable) affordable = byConfigured;
    if (affordable < 1) affordable = 1;
    slots = affordable < static_cast<unsigned long long>(streamCount)
                ? static_cast<int>(affordable)
                : static_cast<int>(streamCount);
  }
  plan.fits = true;
  plan.blocks = BlocksNeeded(fileSize, plan.blockSize);
  if (plan.blocks < static_cast<unsigned long long>(slots)) {
    slots = plan.blocks < 1 ? 1 : static_cast<int>(plan.blocks);
  }
  plan.slots = slots;
  plan.parallel = parallel < slots ? parallel : slots;
  plan.bufferSize = fileSize < plan.blockSize ? fileSize : plan.blockSize;
  return plan;
}

}  // namespace zu::blob
