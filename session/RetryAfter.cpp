#include "session/RetryAfter.h"

#include <algorithm>
#include <string>

#include "platform/http/HttpDate.h"
#include "platform/text/FXString.h"

namespace zu {

namespace {

// The longest wait Retry-After is read as.
constexpr long kRetryAfterDaySeconds = 86400;

long ReadRetryAfter(const std::string& value, std::time_t now) {
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
    // Seconds, as many digits as the server likes (leading zeros
    // included); anything longer than a day reads as a day.
    const std::string::size_type first = value.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    const std::string digits = value.substr(first);
    return digits.size() > 6 ? kRetryAfterDaySeconds
                             : std::min(std::stol(digits), kRetryAfterDaySeconds);
  }
  const std::time_t at = LIBCURL::HttpDateTime(value);
  if (at == static_cast<std::time_t>(-1) || at <= now) return 0;
  return static_cast<long>(std::min<std::time_t>(at - now, kRetryAfterDaySeconds));
}

}  // namespace

long RetryAfterSeconds(const ZuCURL::commandInfoList& replyHeaders, std::time_t now) {
  for (const auto& header : replyHeaders) {
    if (FXString::EqualsNoCase(header.name, "Retry-After"))
      return ReadRetryAfter(header.value, now);
  }
  return 0;
}

long RetryAfterOnThisThread() {
  const LIBCURL::RetryAfterNote note = LIBCURL::RetryAfterHeaderOnThisThread();
  if (note.value.empty()) return 0;
  return ReadRetryAfter(note.value, note.receivedAt);
}

void NoteRetryAfterOnThisThread(long seconds) {
  LIBCURL::NoteRetryAfterHeaderOnThisThread({std::to_string(seconds), 0});
}

}  // namespace zu
