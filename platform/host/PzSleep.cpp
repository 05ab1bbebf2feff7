// Scaled, hookable millisecond sleep.
#include "platform/host/PzSleep.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/text/Decimal.h"

namespace {

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by HookMutex().
zu::SleepHook& Hook() {
  static zu::SleepHook hook;
  return hook;
}

// Parses "[+-]digits[.digits]" (or "[+-].digits") surrounded by optional
// blanks, without strtod so the C locale's decimal point plays no part.
bool ParseFactor(const char* text, double& out) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  double value = 0;
  int digits = 0;
  for (; zu::IsDecimalDigit(*p); ++p, ++digits) value = value * 10 + (*p - '0');
  if (*p == '.') {
    ++p;
    double scale = 0.1;
    for (; zu::IsDecimalDigit(*p); ++p, ++digits, scale /= 10) value += (*p - '0') * scale;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (digits == 0 || *p != '\0') return false;
  out = negative ? -value : value;
  return true;
}

// No single wait lasts longer than this, whatever the factor (it also keeps
// the conversion to nanoseconds from overflowing).
constexpr double kMaxWaitMs = 1e11;

}  // namespace

namespace zu {

void SetSleepHook(SleepHook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hook() = std::move(hook);
}

double WaitScale() {
  const char* env = std::getenv("ZUCLOUD_WAIT_SCALE");
  if (env == nullptr || *env == '\0') return 1.0;
  double factor = 1.0;
  if (!ParseFactor(env, factor)) return 1.0;
  return factor < 0 ? 0.0 : factor;
}

}  // namespace zu

void PZSLEEP_InTeRnAl(unsigned int milliseconds, const char* /*sourceFile*/, int /*line*/) {
  zu::SleepUnless(milliseconds, std::function<bool()>());
}

void zu::SleepUnless(unsigned int milliseconds, const std::function<bool()>& stop) {
  zu::SleepHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  // The hook runs outside the lock so it may itself call SetSleepHook.
  if (hook) {
    hook(milliseconds);
    return;
  }
  double ms = static_cast<double>(milliseconds) * zu::WaitScale();
  if (!(ms > 0)) return;
  if (ms > kMaxWaitMs) ms = kMaxWaitMs;
  const auto total = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double, std::milli>(ms));
  if (!stop) {
    std::this_thread::sleep_for(total);
    return;
  }
  constexpr std::chrono::milliseconds kSlice(10);
  const auto end = std::chrono::steady_clock::now() + total;
  while (!stop()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(end - now < kSlice ? end - now : std::chrono::nanoseconds(kSlice));
  }
}
