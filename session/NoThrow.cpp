#include "session/NoThrow.h"

#include "platform/log/EvDebug.h"

namespace zu {

void LogUnexpectedFailure(EvDebug* log, const char* tag, const char* what) noexcept {
  if (log == nullptr) return;
  try {
    if (what != nullptr) {
      log->Error(tag, "Error: Unexpected failure [%s]", what);
    } else {
      log->Error(tag, "Error: Unexpected failure");
    }
  } catch (...) {
    // The log is best effort; the operation's result still reports the failure.
  }
}

}  // namespace zu
