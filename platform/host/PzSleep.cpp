// Scaled millisecond sleep.
#include "platform/host/PzSleep.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/host/Env.h"
#include "platform/text/Decimal.h"

namespace {

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

double WaitScale() {
  const std::optional<std::string> text = Env::Current()->Variable("ZUCLOUD_WAIT_SCALE");
  double factor = 1.0;
  if (!text || text->empty() || !ParseFactor(text->c_str(), factor)) return 1.0;
  return factor < 0 ? 0.0 : factor;
}

void SleepUnless(unsigned int milliseconds, const std::function<bool()>& stop) {
  Env::Current()->Sleep(milliseconds, stop);
}

}  // namespace zu

void PZSLEEP_InTeRnAl(unsigned int milliseconds, const char* /*sourceFile*/, int /*line*/) {
  zu::SleepUnless(milliseconds, std::function<bool()>());
}

void zu::SleepScaled(unsigned int milliseconds, const std::function<bool()>& stop) {
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
