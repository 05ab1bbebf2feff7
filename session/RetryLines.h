// The retry lines web-console operations write around RunWithRetry.
//
// Every operation words its lines the same way after a prefix of its own:
//   <prefix>Retrying immediately since called with Ignore retry wait, retry count [n]
//   <prefix>Retrying after [ms] ms, retry count [n]
//   <prefix>Retrying at once: the connection, reused, closed before a byte
//     of the reply came, retry count [n]          (one line)
//   <prefix>Total retry count [n]<totalEnd>
// Prefixes are written as given; build them with zu::FormatLogText so that
// their values follow the log's usual rules.
#ifndef ZUCLOUD_SESSION_RETRY_LINES_H
#define ZUCLOUD_SESSION_RETRY_LINES_H

#include <optional>
#include <string>

#include "session/RetryPolicy.h"

class EvDebug;

namespace zu {

// Which of the standard lines an operation writes.
enum RetryLineSet : unsigned {
  kRetryingImmediatelyLine = 1u,
  kRetryingAfterLine = 2u,
  kTotalRetryCountLine = 4u,
  kAllRetryLines = 7u,
};

// One prefix per line; a line without a prefix is not written.
struct RetryLineText {
  std::optional<std::string> immediately;
  std::optional<std::string> after;
  std::optional<std::string> total;
  const char* totalEnd = "";  // after the total's "]" ("." for some operations)
};

// Lines written as errors under `tag`, or in the untagged style when `tag`
// is null. `log` must outlive the lines.
RetryLines MakeRetryLines(EvDebug* log, const char* tag, RetryLineText text);

// The lines in `which`, all with the same prefix.
RetryLines StandardRetryLines(EvDebug* log, const char* tag, const std::string& prefix,
                              unsigned which = kAllRetryLines, const char* totalEnd = "");

}  // namespace zu

#endif  // ZUCLOUD_SESSION_RETRY_LINES_H
