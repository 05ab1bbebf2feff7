// One pace for every file byte the process sends.
//
// The operator's bandwidth cap is a total over every request in flight, of
// every service object in the process, so it is one shared pacer rather
// than a limit per transfer: each request body passes through Acquire in
// the pieces libcurl asks for, and a piece waits until the shared budget
// allows it. Idle time earns no credit beyond a short burst, so a new
// transfer cannot exceed the cap by more than that burst.
#ifndef ZUCLOUD_PLATFORM_SEND_PACER_H
#define ZUCLOUD_PLATFORM_SEND_PACER_H

#include <chrono>
#include <cstddef>

#include "platform/threads/ThreadAnnotations.h"
#include "platform/threads/ZuSync.h"

namespace zu {

class SendPacer {
 public:
  // The process's pacer.
  static SendPacer& Global();

  // Bytes per second from now on; 0 removes the cap.
  void SetRate(unsigned long long bytesPerSecond);
  unsigned long long Rate() const;

  // Waits until `bytes` more may be sent; returns at once without a cap.
  void Acquire(size_t bytes);

 private:
  using Clock = std::chrono::steady_clock;
  mutable Mutex m_mutex;
  unsigned long long m_rate GUARDED_BY(m_mutex) = 0;
  Clock::time_point m_next GUARDED_BY(m_mutex){};  // when the budget is next free
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_SEND_PACER_H
