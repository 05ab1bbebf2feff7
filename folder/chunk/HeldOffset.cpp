#include "folder/chunk/HeldOffset.h"

namespace zu::folder {

HeldDecision JudgeHeldOffset(std::optional<long long> named, long long chunkStart,
                             long long chunkEnd, long long chunkSize) {
  if (!named) return {HeldStep::kAsk, 0};
  const long long held = *named;
  if (held == chunkEnd) return {HeldStep::kConfirmed, held};
  if (held == chunkStart && held > 0) return {HeldStep::kResendChunk, held};
  if (held > 0 && held < chunkStart && chunkSize > 0 && held % chunkSize == 0) {
    return {HeldStep::kReadFrom, held};
  }
  return {HeldStep::kRestart, 0};
}

}  // namespace zu::folder
