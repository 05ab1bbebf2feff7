// The slot hand-over of the block upload engine: the queues of free and
// filled buffer slots and the turn token, shared by the producer
// (BlockProducer.cpp), the uploaders (BlockUploader.cpp) and UploadFile
// (FileUpload.cpp). The protocol itself is described in UploadBlobArgs.h.
//
// Lock order, as every function here takes them: the turn token (the
// semaphore) first, then the upload's progressLock, then its queueLock;
// queueLock is held only inside these functions and never across a request,
// a read or a wait. The resume journal's own lock is taken alone.
#ifndef ZUCLOUD_BLOB_SLOT_HAND_OVER_H
#define ZUCLOUD_BLOB_SLOT_HAND_OVER_H

#include <string>

#include "blob/engine/UploadBlobArgs.h"
#include "platform/threads/ThreadAnnotations.h"
#include "platform/threads/ZuSync.h"

namespace zu::blob {

// Log tags of the two thread routines.
constexpr const char* kProducerTag = "UploadBlobChunks";
constexpr const char* kUploaderTag = "UploadBlob";

// Front, back and size of a queue as the log lines show them (front and
// back read 0 when the queue is empty).
struct QueueSnapshot {
  int front = 0;
  int back = 0;
  int size = 0;
};

template <typename Queue>
QueueSnapshot Snapshot(const Queue& queue) {
  QueueSnapshot snapshot;
  if (!queue.empty()) {
    snapshot.front = queue.front();
    snapshot.back = queue.back();
  }
  snapshot.size = static_cast<int>(queue.size());
  return snapshot;
}

// Holds the turn token taken by the caller and gives it back on scope exit,
// so that no path of an uploader can keep it.
class TurnToken {
 public:
  explicit TurnToken(ZuSemaphore* semaphore) : m_semaphore(semaphore) {}
  ~TurnToken() { m_semaphore->release(1); }
  TurnToken(const TurnToken&) = delete;
  TurnToken& operator=(const TurnToken&) = delete;

 private:
  ZuSemaphore* m_semaphore;
};

// What the producer found at the start of a turn.
enum class ProducerTurn {
  kSlot,     // took a free slot
  kNoSlot,   // every slot is busy; try again
  kStopped,  // a block failed for good: the pool was terminated
};

// The producer's queue step of one turn (token held). After a failure it
// answers kStopped; the producer then ends the pool, still holding its
// token, so no Put Block can start any more.
ProducerTurn TakeEmptySlot(UploadBlobArgs& args, int& index, QueueSnapshot& emptyQueue);

// Gives a slot that was taken but not filled back to the free slots.
void ReturnEmptySlot(UploadBlobArgs& args, int index);

// Marks the upload failed; the caller holds queueLock.
void SetFailedLocked(UploadBlobArgs& args) REQUIRES(args.queueLock);

// Marks the upload failed (with how the file changed, when it did).
void MarkUploadFailed(UploadBlobArgs& args, const std::string& fileChange = std::string());

// Takes the next filled slot for an uploader holding a token. False when
// there is none (a turn that found nothing to send); `alreadyFailed` tells
// that another block failed for good.
bool TakeFullSlot(UploadBlobArgs& args, int& index, QueueSnapshot& fullQueue, bool& alreadyFailed);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_SLOT_HAND_OVER_H
