#include "session/RetryPolicy.h"

#include "platform/host/Env.h"
#include "platform/host/PzSleep.h"
#include "platform/http/ZuInternetGateway.h"
#include "session/RetryAfter.h"

namespace zu {
namespace {

int NextJitter() { return Env::Current()->BackoffJitterMs(); }

}  // namespace

unsigned int BackoffDelayMs(int attempt, int capSeconds, int jitterMs) {
  const unsigned long long cap =
      static_cast<unsigned long long>(capSeconds < 0 ? 0 : capSeconds) * 1000ULL;
  // 1000 * 2^(n-1), doubling only while below the cap so it never wraps.
  unsigned long long delay = 1000ULL;
  for (int n = 1; n < attempt && delay < cap; ++n) delay *= 2ULL;
  delay += static_cast<unsigned long long>(jitterMs < 0 ? 0 : jitterMs);
  if (delay > cap) delay = cap;
  return static_cast<unsigned int>(delay);
}

namespace {

// Runs attempt `n`. A failed attempt whose request the library itself
// refused to send (a header or URL that could split it, say) counts as
// kStop: every further attempt would be refused the same way, so none is
// made and no wait is spent.
AttemptResult RunAttempt(const std::function<AttemptResult(int attempt)>& attempt, int n) {
  LIBCURL::ClearRequestRefusedOnThisThread();
  const AttemptResult result = attempt(n);
  if ((result == AttemptResult::kRetry || result == AttemptResult::kRetryNow) &&
      LIBCURL::RequestRefusedOnThisThread()) {
    return AttemptResult::kStop;
  }
  return result;
}

// The policy's wait `waitMs`, or the failed request's Retry-After when that
// is longer, up to kMaxRetryAfterSeconds.
unsigned int WithRetryAfter(unsigned int waitMs) {
  const long asked = RetryAfterOnThisThread();
  if (asked <= 0) return waitMs;
  const unsigned long long askedMs =
      static_cast<unsigned long long>(asked < kMaxRetryAfterSeconds ? asked
                                                                    : kMaxRetryAfterSeconds) *
      1000ULL;
  return askedMs > waitMs ? static_cast<unsigned int>(askedMs) : waitMs;
}

// The wait step after failed attempt `n` (kRetry), with its line.
void WaitAfterFailure(const RetryOptions& options, const RetryLines& lines, int n) {
  if (options.wait == WaitKind::kNone) return;
  if (options.ignoreRetryWait) {
    if (lines.retryingImmediately) lines.retryingImmediately(n);
    return;
  }
  if (options.wait == WaitKind::kFixed) {
    const unsigned int waitMs = WithRetryAfter(options.fixedMs);
    zu::SleepUnless(waitMs, options.stopRequested);
    if (lines.retryingAfter) lines.retryingAfter(waitMs, n);
    return;
  }
  const unsigned int waitMs =
      WithRetryAfter(BackoffDelayMs(n, options.backoffCapSeconds, NextJitter()));
  if (lines.retryingAfter) lines.retryingAfter(waitMs, n);
  zu::SleepUnless(waitMs, options.stopRequested);
}

}  // namespace

RetryOutcome RunWithRetry(const RetryOptions& options, const RetryLines& lines,
                          const std::function<AttemptResult(int attempt)>& attempt) {
  RetryOutcome outcome;
  const int limit = options.limit < 1 ? 1 : options.limit;
  bool lostReplyRetried = false;
  int deadlineAttempts = 0;
  for (int n = 1;; ++n) {
    // Checked before the first attempt too: an operation others gave up on
    // while it waited for its turn sends nothing.
    if (options.stopRequested && options.stopRequested()) {
      outcome.stoppedEarly = true;
      break;
    }
    outcome.attempts = n;
    const AttemptResult result = RunAttempt(attempt, n);
    if (result == AttemptResult::kSuccess) {
      outcome.succeeded = true;
      return outcome;
    }
    if (result == AttemptResult::kStop) {
      outcome.stoppedEarly = true;
      break;
    }
    if (result == AttemptResult::kRetry && LIBCURL::DeadlineReachedOnThisThread() &&
        ++deadlineAttempts >= kMaxAttemptsAtDeadline) {
      // The link moves the bytes, too slowly for this request ever to end
      // in time: more attempts would only take hours each.
      outcome.stoppedEarly = true;
      break;
    }
    if (n >= limit) {
      if (result == AttemptResult::kRetry) WaitAfterFailure(options, lines, n);
      break;
    }
    if (result == AttemptResult::kRetry && !lostReplyRetried && LIBCURL::ReplyLostOnThisThread()) {
      // Most often a keep-alive connection the server closed just as the
      // request left; a new connection mends it (libcurl would have sent the
      // request again unseen). Once per loop, with the operation's line.
      lostReplyRetried = true;
      if (lines.retryingAfterLostReply) lines.retryingAfterLostReply(n);
      continue;
    }
    if (result == AttemptResult::kRetry) WaitAfterFailure(options, lines, n);
  }
  if (lines.totalRetryCount) {
    int total = outcome.attempts;
    if (options.totalCount == TotalCount::kAttemptsBeforeEarlyStop && outcome.stoppedEarly) {
      total = outcome.attempts > 0 ? outcome.attempts - 1 : 0;
    }
    lines.totalRetryCount(total);
  }
  return outcome;
}

}  // namespace zu
