#include "blob/engine/SlotBoard.h"

#include "platform/log/EvDebug.h"
#include "session/GatewaySession.h"

namespace zu::blob {
namespace {

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

}  // namespace

SlotBoard::SlotBoard(int slots, unsigned long long bufferBytes, int parallel,
                     const SessionParams& params, unsigned long long confirmed)
    : m_slotCount(slots),
      m_params(params),
      m_pages(new PageBuffer[static_cast<size_t>(slots)]),
      m_slots(new BlobInfo[static_cast<size_t>(slots)]),
      m_turn(parallel) {
  MutexLock lock(m_lock);
  m_confirmed = confirmed;
  for (int i = 0; i < slots; ++i) {
    m_pages[i] = PageBuffer(static_cast<size_t>(bufferBytes));
    m_slots[i].buffer = m_pages[i].data();
    m_empty.push_front(i);  // slot 0 is taken first
  }
}

SlotBoard::~SlotBoard() { CloseGateways(); }

void SlotBoard::CloseGateways() {
  for (int i = 0; i < m_slotCount; ++i) {
    CloseAndDeleteGateway(m_params, m_slots[i].gateway);
    m_slots[i].gateway = nullptr;
  }
}

ProducerTurn SlotBoard::TakeEmptySlot(EvDebug* log, const std::string& fileName, int& index,
                                      QueueSnapshot& emptyQueue) {
  MutexLock lock(m_lock);
  if (m_failed) {
    m_complete = false;
    log->Error(kProducerTag, "Terminate Thread is being Called, just passed index [%d].", index);
    return ProducerTurn::kStopped;
  }
  if (!m_empty.empty()) {
    emptyQueue = Snapshot(m_empty);
    // The slot freed last: its pages are already in use (and likely still
    // cached), so an upload touches only the slots it needs at once.
    index = m_empty.back();
    m_empty.pop_back();
    return ProducerTurn::kSlot;
  }
  const QueueSnapshot full = Snapshot(m_full);
  log->DebugLvl(2, kProducerTag,
                "emptyBlobQueue is empty, releasing Semaphore, Filename [%s], Full Queue -> "
                "[front -> %d, back -> %d, size -> %d],",
                fileName.c_str(), full.front, full.back, full.size);
  return ProducerTurn::kNoSlot;
}

void SlotBoard::ReturnEmptySlot(int index) {
  MutexLock lock(m_lock);
  m_empty.push_back(index);
}

void SlotBoard::QueueFullSlot(int index) {
  MutexLock lock(m_lock);
  m_full.push(index);
}

bool SlotBoard::TakeFullSlot(EvDebug* log, const std::string& fileName, int& index,
                             QueueSnapshot& fullQueue, bool& alreadyFailed) {
  MutexLock lock(m_lock);
  alreadyFailed = m_failed;
  if (m_full.empty()) {
    const QueueSnapshot empty = Snapshot(m_empty);
    log->DebugLvl(2, kUploaderTag,
                  "fullBlobQueue is empty, releasing Semaphore, file [%s], Empty Queue -> "
                  "[front -> %d, back -> %d, size -> %d],",
                  fileName.c_str(), empty.front, empty.back, empty.size);
    return false;
  }
  fullQueue = Snapshot(m_full);
  index = m_full.front();
  m_full.pop();
  return true;
}

void SlotBoard::FailLocked() {
  m_failed = true;
  m_complete = false;
  m_stop.store(true);
}

void SlotBoard::Fail(const std::string& detail, const std::string& fileChange,
                     const std::string& finalMessage) {
  MutexLock lock(m_lock);
  FailLocked();
  if (!detail.empty() && m_failureDetail.empty()) m_failureDetail = detail;
  if (!fileChange.empty() && m_fileChange.empty()) m_fileChange = fileChange;
  if (!finalMessage.empty() && m_finalMessage.empty()) m_finalMessage = finalMessage;
}

void SlotBoard::GiveUpSlot(int index, const std::string& detail) {
  MutexLock lock(m_lock);
  FailLocked();
  if (!detail.empty() && m_failureDetail.empty()) m_failureDetail = detail;
  m_empty.push_back(index);
}

unsigned long long SlotBoard::CountConfirmed(int index, unsigned long long bytes) {
  MutexLock lock(m_lock);
  m_complete = true;
  m_confirmed += bytes;
  m_empty.push_back(index);
  return m_confirmed;
}

bool SlotBoard::FinishProducing() {
  MutexLock lock(m_lock);
  if (!m_failed) m_complete = true;
  return !m_failed;
}

PassOutcome SlotBoard::Outcome() const {
  MutexLock lock(m_lock);
  PassOutcome outcome;
  outcome.complete = m_complete && !m_failed;
  outcome.failureDetail = m_failureDetail;
  outcome.finalMessage = m_finalMessage;
  outcome.fileChange = m_fileChange;
  return outcome;
}

}  // namespace zu::blob
