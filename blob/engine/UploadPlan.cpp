#include "blob/engine/UploadPlan.h"

#include "blob/storage/BlockId.h"
#include "platform/crypto/RegionLayout.h"

namespace zu::blob {
namespace {

constexpr unsigned long long kMiB = 1048576ULL;
static_assert(StoredLength(kMaxEncryptedBlockBytes) <= kMaxBlockBytes &&
                  StoredLength(kMaxEncryptedBlockBytes + kRegionPlainBytes) > kMaxBlockBytes,
              "the largest encrypted block is the most whole regions a block can store");

// The slots of a file whose blocks were raised to `raised` bytes (past
// 50,000 blocks, or to whole regions when encrypted). Slot
// memory stays what the settings give a file that fits (stream count x
// configured block size) when that holds more than one block; the allowance
// above it is spent only on the slots parallel blocks need (one per block in
// flight and one the producer reads into). Neither product overflows:
// stream counts and block sizes both fit 32 bits.
int RaisedSlots(unsigned long long raised, unsigned long long configuredBlockSize,
                long long streamCount, int parallel) {
  const unsigned long long configured =
      static_cast<unsigned long long>(streamCount) * configuredBlockSize;
  const unsigned long long byConfigured = configured / raised;
  const unsigned long long byBudget = (configured + kBudgetAllowance) / raised;
  const unsigned long long wanted = static_cast<unsigned long long>(parallel) + 1;
  unsigned long long affordable = wanted < byBudget ? wanted : byBudget;
  if (byConfigured > affordable) affordable = byConfigured;
  if (affordable < 1) affordable = 1;
  return affordable < static_cast<unsigned long long>(streamCount) ? static_cast<int>(affordable)
                                                                   : static_cast<int>(streamCount);
}

}  // namespace

UploadPlan PlanUpload(unsigned long long fileSize, unsigned long long configuredBlockSize,
                      long long streamCount, int parallel, bool encrypted) {
  UploadPlan plan;
  if (configuredBlockSize < 1) configuredBlockSize = 1;
  if (streamCount < 1) streamCount = 1;
  if (parallel < 1) parallel = 1;
  if (parallel > streamCount) parallel = static_cast<int>(streamCount);

  // Encrypted blocks carry whole regions (RegionLayout.h).
  const unsigned long long unit = encrypted ? kRegionPlainBytes : kMiB;
  const unsigned long long largest = encrypted ? kMaxEncryptedBlockBytes : kMaxBlockBytes;
  plan.blockSize = configuredBlockSize;
  if (encrypted && !HoldsWholeRegions(configuredBlockSize)) {
    plan.blockSize = BlocksNeeded(configuredBlockSize, unit) * unit;
    plan.blockSizeRounded = true;
  }
  if (plan.blockSize > largest) {
    plan.blockSize = largest;
    plan.blockSizeCapped = true;
  }
  int slots = static_cast<int>(streamCount);
  if (plan.blockSizeRounded && !plan.blockSizeCapped) {
    slots = RaisedSlots(plan.blockSize, configuredBlockSize, streamCount, parallel);
  }
  if (BlocksNeeded(fileSize, plan.blockSize) > kMaxBlocksPerBlob) {
    const unsigned long long perBlock = BlocksNeeded(fileSize, kMaxBlocksPerBlob);
    const unsigned long long raised = BlocksNeeded(perBlock, unit) * unit;
    if (raised > largest) return plan;
    plan.blockSize = raised;
    plan.blockSizeRaised = true;
    slots = RaisedSlots(raised, configuredBlockSize, streamCount, parallel);
  }
  plan.fits = true;
  plan.blocks = BlocksNeeded(fileSize, plan.blockSize);
  if (plan.blocks < static_cast<unsigned long long>(slots)) {
    slots = plan.blocks < 1 ? 1 : static_cast<int>(plan.blocks);
  }
  plan.slots = slots;
  plan.parallel = parallel < slots ? parallel : slots;
  const unsigned long long plainBuffer = fileSize < plan.blockSize ? fileSize : plan.blockSize;
  plan.bufferSize = encrypted ? StoredLength(plainBuffer) : plainBuffer;
  return plan;
}

}  // namespace zu::blob
