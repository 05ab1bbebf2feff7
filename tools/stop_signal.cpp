#include "stop_signal.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <utility>

namespace zutool {
namespace {

std::atomic<int> g_stopSignal{0};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void CatchStopSignals(std::function<void(int)> first, std::function<void(int)> again) {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // The signals reach this thread only (every other one blocks them), at a
  // point where it may lock and print like any thread.
  std::thread([set, first = std::move(first), again = std::move(again)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      int none = 0;
      if (g_stopSignal.compare_exchange_strong(none, signal)) {
        first(signal);
      } else {
        again(signal);
      }
    }
  }).detach();
}

int StopRequested() { return g_stopSignal.load(); }

int StopStatus(int signal) { return 128 + signal; }

}  // namespace zutool
