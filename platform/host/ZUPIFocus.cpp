// The process-wide platform focus, safe to set and read from any thread.
#include "platform/host/ZUPIFocus.h"

#include "platform/threads/ZuSync.h"

namespace {

struct FocusState {
  zu::Mutex mutex;
  std::string focus GUARDED_BY(mutex);
};

FocusState& State() {
  static FocusState state;
  return state;
}

}  // namespace

void ZUPI_Focus::setFocus(const char* focus) {
  FocusState& state = State();
  zu::MutexLock lock(state.mutex);
  state.focus = focus != nullptr ? focus : "";
}

std::string ZUPI_Focus::getFocus() {
  FocusState& state = State();
  zu::MutexLock lock(state.mutex);
  return state.focus;
}
