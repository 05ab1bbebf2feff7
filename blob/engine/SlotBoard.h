// The slot board of one pass of a block upload: the buffer slots, the turn
// tokens, the queues that hand slots between the producer and the
// uploaders, and how the pass stands (failed, complete, why it stopped,
// bytes confirmed). Every shared field is guarded by the board's lock; the
// producer, the uploaders and the pass reach them only through the board.
//
// Hand-over: free slots wait in the empty queue (the producer takes the one
// freed last), filled slots in the full queue, in read order; a slot taken
// by the producer or an uploader is in neither, and its BlobInfo is used by
// that thread alone until it hands the slot on.
//
// Turns: the producer holds a turn token while it takes a slot, reads a
// block and queues it; an uploader holds one from taking its slot until the
// slot is back in the empty queue, through every attempt and wait. With one
// token (the default) at most one Put Block is in flight and the file is
// never read during a send; with N, up to N Put Blocks (N - 1 while the
// producer reads).
//
// Failure: the first block that fails for good marks the pass failed and
// stops sending: uploaders still queued give their block up unsent, those
// in an attempt stop before the next one (their waits end at once), and the
// producer's next turn ends its pool.
//
// Lock order: a turn token, then the progress lock, then the board's lock;
// the board's lock is held only inside the board and never across a
// request, a read or a wait. The resume journal's own lock is taken alone.
#ifndef ZUCLOUD_BLOB_ENGINE_SLOT_BOARD_H
#define ZUCLOUD_BLOB_ENGINE_SLOT_BOARD_H

#include <atomic>
#include <deque>
#include <memory>
#include <queue>
#include <string>

#include "platform/host/PageBuffer.h"
#include "platform/threads/ThreadAnnotations.h"
#include "platform/threads/ZuSync.h"
#include "session/SessionParams.h"

namespace LIBCURL {
class ZuInternetGateway;
}

// One buffer slot and the block it currently carries; used by the thread
// holding the slot alone.
struct BlobInfo {
  std::string urlToUpload;             // Put Block URL of the current block, without the token
  unsigned int blockNo = 0;            // 1-based number of the current block
  char* buffer = nullptr;              // the slot's page-aligned buffer
  unsigned long long blockSize = 0;    // bytes actually read
  unsigned long long storedSize = 0;   // bytes sent: blockSize, or its stored length (encrypted)
  unsigned long long offsetStart = 0;  // file offset of the block's first byte
  std::string blockIdUrlEncoded;
  std::string contentMd5;  // Base64 MD5 of the block's bytes; "" without MD5
  // Opened by the first uploader using the slot, reused by its later
  // blocks, closed by the board.
  LIBCURL::ZuInternetGateway* gateway = nullptr;
};

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

// What the producer found at the start of a turn.
enum class ProducerTurn {
  kSlot,     // took a free slot
  kNoSlot,   // every slot is busy; try again
  kStopped,  // a block failed for good: the producer ends its pool
};

// How a pass ended, read once the producer was joined.
struct PassOutcome {
  bool complete = false;      // every block confirmed, none failed
  std::string failureDetail;  // why it stopped, for the caller's message
  std::string finalMessage;   // storage's final refusal, the caller's whole message
  std::string fileChange;     // how the file changed, when it did
};

class SlotBoard {
 public:
  // `slots` slots of `bufferBytes` each (zeroed pages that cost nothing
  // until read into), `parallel` turn tokens; the gateways are closed with
  // `params`. `confirmed`: bytes already stored (a resume). Throws
  // std::bad_alloc, or const char* when the turn semaphore cannot be made.
  SlotBoard(int slots, unsigned long long bufferBytes, int parallel, const SessionParams& params,
            unsigned long long confirmed);
  ~SlotBoard();  // closes the gateways
  SlotBoard(const SlotBoard&) = delete;
  SlotBoard& operator=(const SlotBoard&) = delete;

  int slotCount() const { return m_slotCount; }
  BlobInfo& slot(int index) { return m_slots[index]; }

  // The turn tokens (see above). WaitTurn throws zu::ThreadTerminated when
  // the producer's pool ends while waiting.
  void WaitTurn() { m_turn.wait(); }
  void EndTurn() { m_turn.release(1); }

  // The producer's queue step of a turn (token held); logs under
  // kProducerTag for `fileName`.
  ProducerTurn TakeEmptySlot(EvDebug* log, const std::string& fileName, int& index,
                             QueueSnapshot& emptyQueue);
  // A taken slot back to the free ones.
  void ReturnEmptySlot(int index);
  // A filled slot to the uploaders.
  void QueueFullSlot(int index);
  // The next filled slot for an uploader holding a token; false when there
  // is none. `alreadyFailed`: another block failed for good.
  bool TakeFullSlot(EvDebug* log, const std::string& fileName, int& index, QueueSnapshot& fullQueue,
                    bool& alreadyFailed);

  // Marks the pass failed and stops sending. Each non-empty text is kept
  // when none was before: `detail` for the caller's message, `fileChange`
  // how the file changed, `finalMessage` storage's final refusal.
  void Fail(const std::string& detail = std::string(),
            const std::string& fileChange = std::string(),
            const std::string& finalMessage = std::string());
  // Fail(detail), and slot `index` back to the free ones.
  void GiveUpSlot(int index, const std::string& detail);
  // A block of `bytes` confirmed: counted, its slot freed, and `report`
  // called with the bytes confirmed so far, under the progress lock so that
  // reports of parallel blocks stay in order.
  template <typename Report>
  void Confirm(int index, unsigned long long bytes, const Report& report);
  // The producer read every block: true (and the pass complete) unless a
  // block failed.
  bool FinishProducing();

  // Read without the lock by uploaders between attempts.
  bool stopRequested() const { return m_stop.load(); }
  // Storage refused a block id for its length: it holds uncommitted blocks
  // of another upload whose ids have another length.
  void NoteIdLengthRefused() { m_idLengthRefused.store(true); }
  bool idLengthRefused() const { return m_idLengthRefused.load(); }
  // A fresh token came with another storage URL: the file starts again.
  void NoteUrlChanged() { m_urlChanged.store(true); }
  bool urlChanged() const { return m_urlChanged.load(); }

  PassOutcome Outcome() const;
  // Closes every slot's gateway (their connections go back to the pool).
  void CloseGateways();

 private:
  void FailLocked() REQUIRES(m_lock);
  unsigned long long CountConfirmed(int index, unsigned long long bytes);

  const int m_slotCount;
  const SessionParams m_params;
  std::unique_ptr<PageBuffer[]> m_pages;
  std::unique_ptr<BlobInfo[]> m_slots;
  ZuSemaphore m_turn;
  Mutex m_progress;  // orders progress reports; before m_lock
  mutable Mutex m_lock;
  std::deque<int> m_empty GUARDED_BY(m_lock);  // taken from the back
  std::queue<int> m_full GUARDED_BY(m_lock);
  bool m_failed GUARDED_BY(m_lock) = false;  // false -> true only
  bool m_complete GUARDED_BY(m_lock) = false;
  unsigned long long m_confirmed GUARDED_BY(m_lock) = 0;
  std::string m_failureDetail GUARDED_BY(m_lock);
  std::string m_finalMessage GUARDED_BY(m_lock);
  std::string m_fileChange GUARDED_BY(m_lock);
  std::atomic<bool> m_stop{false};  // set with m_failed
  std::atomic<bool> m_idLengthRefused{false};
  std::atomic<bool> m_urlChanged{false};
};

template <typename Report>
void SlotBoard::Confirm(int index, unsigned long long bytes, const Report& report) {
  MutexLock progress(m_progress);
  report(CountConfirmed(index, bytes));
}

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_ENGINE_SLOT_BOARD_H
