// The one retry loop of the library.
//
// Every retried operation runs its attempts through RunWithRetry and
// supplies only what differs: its attempt, its wait kind and its log lines.
// The rules:
//  - attempts are numbered from 1; at least one attempt is made even when
//    the limit is below 1; at most `limit` attempts are made;
//  - after a failed attempt (which logs its own failure first) comes the
//    wait step, also after the last attempt, then the next attempt while
//    the attempt just made is below the limit;
//  - fixed wait: with ignoreRetryWait the "Retrying immediately" line and no
//    wait; otherwise sleep, then the "Retrying after" line;
//  - back-off: min(1000 * 2^(n-1) + rand() % 1000, cap * 1000) ms after
//    failed attempt n, saturating at the cap (never wrapping); the line is
//    written before the sleep;
//  - when every attempt failed, the "Total retry count" line.
// An attempt may also end the loop at once (kStop) or ask for the next
// attempt without wait or retry line (kRetryNow). A failed attempt whose
// request the gateway refused to send (LIBCURL::RequestRefusedOnThisThread)
// ends the loop as kStop: it could only be refused again. The first failed
// attempt of a loop whose reply was lost on a reused connection
// (LIBCURL::ReplyLostOnThisThread) is followed by the next one at once, with
// the "Retrying immediately" line; later ones wait as usual. A refusal
// whose Retry-After asks for a longer wait than the policy's gets it, up to
// kMaxRetryAfterSeconds (the retry line says the wait made). After
// kMaxAttemptsAtDeadline attempts that each ran until the request's
// deadline the loop stops as if an attempt had returned kStop. A stop request
// (RetryOptions::stopRequested) is honoured before every attempt, the
// first included.
#ifndef ZUCLOUD_SESSION_RETRY_POLICY_H
#define ZUCLOUD_SESSION_RETRY_POLICY_H

#include <functional>

namespace zu {

// The wait after a failed attempt of the operations that wait a fixed time:
// the web-console requests, folder chunks, Put Block, Put Blob and the block
// list commit.
inline constexpr unsigned int kRetryWaitMs = 120000;

// The longest wait a refusal's Retry-After may ask for: a longer one (or
// one the policy's own wait already covers) waits this long.
constexpr long kMaxRetryAfterSeconds = 300;
// Attempts of one loop whose request ran until its overall deadline: after
// this many the loop stops (the link is too slow for the request to finish
// in time, and each such attempt takes the whole deadline).
constexpr int kMaxAttemptsAtDeadline = 3;

enum class AttemptResult {
  kSuccess,   // done, no wait, no line
  kRetry,     // failed: wait step, then the next attempt
  kRetryNow,  // failed: next attempt at once, without wait or retry line
  kStop,      // failed: no further attempt and no wait
};

enum class WaitKind {
  kNone,     // retry at once without a line (gateway connect)
  kFixed,    // fixed milliseconds, skippable with ignoreRetryWait
  kBackoff,  // capped exponential back-off with jitter
};

// How the "Total retry count" line counts.
enum class TotalCount {
  kAttemptsMade,
  // Attempts made when all were used; one less when an attempt stopped the
  // loop early (operations whose count is a loop counter minus one).
  kAttemptsBeforeEarlyStop,
};

struct RetryOptions {
  int limit = 30;
  WaitKind wait = WaitKind::kFixed;
  unsigned int fixedMs = kRetryWaitMs;
  int backoffCapSeconds = 16;
  bool ignoreRetryWait = false;
  TotalCount totalCount = TotalCount::kAttemptsMade;
  // When set and true, no further attempt is made and a wait ends at once
  // (the loop ends as if an attempt had returned kStop): an operation that
  // others have given up on stops between its attempts.
  std::function<bool()> stopRequested;
};

// Options of an operation that waits a fixed time after a failed attempt.
inline RetryOptions FixedWaitRetry(int limit, unsigned int waitMs, bool ignoreRetryWait,
                                   TotalCount totalCount = TotalCount::kAttemptsMade) {
  RetryOptions options;
  options.limit = limit;
  options.wait = WaitKind::kFixed;
  options.fixedMs = waitMs;
  options.ignoreRetryWait = ignoreRetryWait;
  options.totalCount = totalCount;
  return options;
}

// Options of an operation that backs off exponentially up to `capSeconds`.
inline RetryOptions BackoffRetry(int limit, int capSeconds, bool ignoreRetryWait) {
  RetryOptions options;
  options.limit = limit;
  options.wait = WaitKind::kBackoff;
  options.backoffCapSeconds = capSeconds;
  options.ignoreRetryWait = ignoreRetryWait;
  return options;
}

// Log lines of one operation; any may be empty (then nothing is written).
struct RetryLines {
  std::function<void(int attempt)> retryingImmediately;
  // The next attempt goes at once because the reply of this one was lost on
  // a reused connection (see RunWithRetry).
  std::function<void(int attempt)> retryingAfterLostReply;
  std::function<void(unsigned int waitMs, int attempt)> retryingAfter;
  std::function<void(int total)> totalRetryCount;
};

struct RetryOutcome {
  bool succeeded = false;
  int attempts = 0;           // attempts made
  bool stoppedEarly = false;  // an attempt returned kStop
};

RetryOutcome RunWithRetry(const RetryOptions& options, const RetryLines& lines,
                          const std::function<AttemptResult(int attempt)>& attempt);

// The back-off wait after failed attempt `attempt` (from 1) with the given
// cap in seconds and jitter in milliseconds (0..999).
unsigned int BackoffDelayMs(int attempt, int capSeconds, int jitterMs);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_RETRY_POLICY_H
