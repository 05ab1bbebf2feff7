#include "platform/http/SendPacer.h"

#include <thread>

namespace zu {
namespace {

// Credit a sender may take after idle time.
constexpr std::chrono::milliseconds kBurst(20);

}  // namespace

SendPacer& SendPacer::Global() {
  static SendPacer* pacer = new SendPacer();  // never destroyed: used by late transfers
  return *pacer;
}

void SendPacer::SetRate(unsigned long long bytesPerSecond) {
  MutexLock lock(m_mutex);
  if (bytesPerSecond != m_rate) m_next = Clock::time_point{};
  m_rate = bytesPerSecond;
}

unsigned long long SendPacer::Rate() const {
  MutexLock lock(m_mutex);
  return m_rate;
}

void SendPacer::Acquire(size_t bytes) {
  Clock::time_point start;
  {
    MutexLock lock(m_mutex);
    if (m_rate == 0 || bytes == 0) return;
    const Clock::time_point now = Clock::now();
    // Each piece books the next stretch of the shared budget.
    start = m_next < now - kBurst ? now - kBurst : m_next;
    const auto cost = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(m_rate)));
    m_next = start + cost;
  }
  std::this_thread::sleep_until(start);
}

}  // namespace zu
