// The guard that keeps exceptions inside a public operation of either
// service.
#ifndef ZUCLOUD_SESSION_NO_THROW_H
#define ZUCLOUD_SESSION_NO_THROW_H

#include <exception>
#include <type_traits>

class EvDebug;

namespace zu {

// Writes "Error: Unexpected failure [what]" (or without the brackets when
// `what` is null) under `tag`; never throws, and a null log writes nothing.
void LogUnexpectedFailure(EvDebug* log, const char* tag, const char* what) noexcept;

// Runs `body` and turns any exception into a failure result with a log line,
// so that no exception leaves a public operation. Every resource of the
// operation is held by RAII and released while unwinding.
//
// `onFailure` is either the failure result itself or a callable that sets
// the caller's message (or other state) and returns it. Should that
// callable throw in turn, the result is a value-initialised Result (0,
// false), which every operation of this library reads as a failure.
template <typename OnFailure, typename Body>
auto NoThrow(EvDebug* log, const char* tag, OnFailure&& onFailure, Body&& body)
    -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (const std::exception& e) {
    LogUnexpectedFailure(log, tag, e.what());
  } catch (...) {
    LogUnexpectedFailure(log, tag, nullptr);
  }
  if constexpr (std::is_invocable_v<OnFailure&>) {
    try {
      return onFailure();
    } catch (...) {
      return Result{};
    }
  } else {
    return static_cast<Result>(onFailure);
  }
}

}  // namespace zu

#endif  // ZUCLOUD_SESSION_NO_THROW_H
