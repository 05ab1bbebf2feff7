// The process-wide platform focus, safe to set and read from any thread.
#include "platform/host/ZUPIFocus.h"

#include <mutex>

namespace {

std::mutex& FocusMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by FocusMutex().
std::string& Focus() {
  static std::string focus;
  return focus;
}

}  // namespace

void ZUPI_Focus::setFocus(const char* focus) {
  std::lock_guard<std::mutex> lock(FocusMutex());
  Focus() = focus != nullptr ? focus : "";
}

std::string ZUPI_Focus::getFocus() {
  std::lock_guard<std::mutex> lock(FocusMutex());
  return Focus();
}
