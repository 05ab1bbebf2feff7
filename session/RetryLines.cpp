#include "session/RetryLines.h"

#include <utility>

#include "platform/log/EvDebug.h"

namespace zu {
namespace {

constexpr const char* kImmediately =
    "%sRetrying immediately since called with Ignore retry wait, retry count [%d]";
constexpr const char* kAfter = "%sRetrying after [%d] ms, retry count [%d]";
constexpr const char* kAfterLostReply =
    "%sRetrying at once: the connection, reused, closed before a byte of the reply came, retry "
    "count [%d]";
constexpr const char* kTotal = "%sTotal retry count [%d]%s";

}  // namespace

RetryLines MakeRetryLines(EvDebug* log, const char* tag, RetryLineText text) {
  RetryLines lines;
  if (text.immediately) {
    lines.retryingImmediately = [log, tag, prefix = std::move(*text.immediately)](int attempt) {
      if (tag != nullptr) {
        log->Error(tag, kImmediately, prefix.c_str(), attempt);
      } else {
        log->error(kImmediately, prefix.c_str(), attempt);
      }
    };
  }
  // Whenever an operation words any retry, it words a lost reply's too.
  const std::optional<std::string>& lostPrefix = text.after ? text.after : text.immediately;
  if (lostPrefix) {
    lines.retryingAfterLostReply = [log, tag, prefix = *lostPrefix](int attempt) {
      if (tag != nullptr) {
        log->Error(tag, kAfterLostReply, prefix.c_str(), attempt);
      } else {
        log->error(kAfterLostReply, prefix.c_str(), attempt);
      }
    };
  }
  if (text.after) {
    lines.retryingAfter = [log, tag, prefix = std::move(*text.after)](unsigned int waitMs,
                                                                      int attempt) {
      if (tag != nullptr) {
        log->Error(tag, kAfter, prefix.c_str(), static_cast<int>(waitMs), attempt);
      } else {
        log->error(kAfter, prefix.c_str(), static_cast<int>(waitMs), attempt);
      }
    };
  }
  if (text.total) {
    lines.totalRetryCount = [log, tag, prefix = std::move(*text.total),
                             end = text.totalEnd](int total) {
      if (tag != nullptr) {
        log->Error(tag, kTotal, prefix.c_str(), total, end);
      } else {
        log->error(kTotal, prefix.c_str(), total, end);
      }
    };
  }
  return lines;
}

RetryLines StandardRetryLines(EvDebug* log, const char* tag, const std::string& prefix,
                              unsigned which, const char* totalEnd) {
  RetryLineText text;
  if ((which & kRetryingImmediatelyLine) != 0) text.immediately = prefix;
  if ((which & kRetryingAfterLine) != 0) text.after = prefix;
  if ((which & kTotalRetryCountLine) != 0) text.total = prefix;
  text.totalEnd = totalEnd;
  return MakeRetryLines(log, tag, std::move(text));
}

}  // namespace zu
