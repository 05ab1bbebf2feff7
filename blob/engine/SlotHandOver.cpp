#include "blob/engine/SlotHandOver.h"

#include "platform/log/EvDebug.h"

namespace zu::blob {

ProducerTurn TakeEmptySlot(UploadBlobArgs& args, int& index, QueueSnapshot& emptyQueue) {
  ZuCriticalSectionLock lock(&args.queueLock);
  if (args.bAnyChunkUploadFailed) {
    args.bUploadComplete = false;
    args.log->Error(kProducerTag, "Terminate Thread is being Called, just passed index [%d].",
                    index);
    return ProducerTurn::kStopped;
  }
  if (!args.emptyBlobQueue.empty()) {
    emptyQueue = Snapshot(args.emptyBlobQueue);
    // The slot freed last: its pages are already in use (and likely still
    // cached), so an upload touches only the slots it needs at once.
    index = args.emptyBlobQueue.back();
    args.emptyBlobQueue.pop_back();
    return ProducerTurn::kSlot;
  }
  const QueueSnapshot full = Snapshot(args.fullBlobQueue);
  args.log->DebugLvl(2, kProducerTag,
                     "emptyBlobQueue is empty, releasing Semaphore, Filename [%s], Full Queue -> "
                     "[front -> %d, back -> %d, size -> %d],",
                     args.fileName.c_str(), full.front, full.back, full.size);
  return ProducerTurn::kNoSlot;
}

void ReturnEmptySlot(UploadBlobArgs& args, int index) {
  ZuCriticalSectionLock lock(&args.queueLock);
  args.emptyBlobQueue.push_back(index);
}

void SetFailedLocked(UploadBlobArgs& args) REQUIRES(args.queueLock) {
  args.bAnyChunkUploadFailed = true;
  args.bUploadComplete = false;
  args.stopSending.store(true);
}

void MarkUploadFailed(UploadBlobArgs& args, const std::string& fileChange) {
  ZuCriticalSectionLock lock(&args.queueLock);
  SetFailedLocked(args);
  if (!fileChange.empty() && args.fileChange.empty()) args.fileChange = fileChange;
}

bool TakeFullSlot(UploadBlobArgs& args, int& index, QueueSnapshot& fullQueue, bool& alreadyFailed) {
  ZuCriticalSectionLock lock(&args.queueLock);
  alreadyFailed = args.bAnyChunkUploadFailed;
  if (args.fullBlobQueue.empty()) {
    const QueueSnapshot empty = Snapshot(args.emptyBlobQueue);
    args.log->DebugLvl(2, kUploaderTag,
                       "fullBlobQueue is empty, releasing Semaphore, file [%s], Empty Queue -> "
                       "[front -> %d, back -> %d, size -> %d],",
                       args.fileName.c_str(), empty.front, empty.back, empty.size);
    return false;
  }
  fullQueue = Snapshot(args.fullBlobQueue);
  index = args.fullBlobQueue.front();
  args.fullBlobQueue.pop();
  return true;
}

}  // namespace zu::blob
