// The shared retry loop: attempt counts, wait steps, lines and totals.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "session/RetryAfter.h"
#include "session/RetryPolicy.h"
#include "support/EnvChange.h"
#include "support/FakeGateway.h"
#include "support/TestEnv.h"

namespace {

using zu::AttemptResult;
using zu::RetryOptions;
using zu::RunWithRetry;
using zu::WaitKind;

struct LineRecorder {
  std::vector<std::string> lines;
  zu::RetryLines make() {
    zu::RetryLines l;
    l.retryingImmediately = [this](int n) { lines.push_back("now " + std::to_string(n)); };
    l.retryingAfterLostReply = [this](int n) { lines.push_back("lost " + std::to_string(n)); };
    l.retryingAfter = [this](unsigned ms, int n) {
      lines.push_back("after " + std::to_string(ms) + " " + std::to_string(n));
    };
    l.totalRetryCount = [this](int total) { lines.push_back("total " + std::to_string(total)); };
    return l;
  }
};

TEST(RetryPolicy, AllFailingAttemptsWaitAfterEachIncludingTheLast) {
  zutest::ScopedSleepRecorder sleeps;
  LineRecorder rec;
  RetryOptions options;
  options.limit = 3;
  int calls = 0;
  auto outcome = RunWithRetry(options, rec.make(), [&](int n) {
    EXPECT_EQ(n, ++calls);
    return AttemptResult::kRetry;
  });
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.attempts, 3);
  EXPECT_EQ(sleeps.waits(), (std::vector<unsigned>{120000, 120000, 120000}));
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"after 120000 1", "after 120000 2",
                                                 "after 120000 3", "total 3"}));
  // The default is the one wait every fixed-wait operation names.
  EXPECT_EQ(zu::kRetryWaitMs, 120000u);
}

TEST(RetryPolicy, IgnoreRetryWaitRetriesImmediatelyWithItsOwnLine) {
  zutest::ScopedSleepRecorder sleeps;
  LineRecorder rec;
  RetryOptions options;
  options.limit = 2;
  options.ignoreRetryWait = true;
  RunWithRetry(options, rec.make(), [](int) { return AttemptResult::kRetry; });
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"now 1", "now 2", "total 2"}));
}

TEST(RetryPolicy, AtLeastOneAttemptForLimitsBelowOne) {
  for (int limit : {1, 0, -7}) {
    zutest::ScopedSleepRecorder sleeps;
    RetryOptions options;
    options.limit = limit;
    int calls = 0;
    auto outcome = RunWithRetry(options, {}, [&](int) {
      ++calls;
      return AttemptResult::kRetry;
    });
    EXPECT_EQ(calls, 1) << "limit " << limit;
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_EQ(sleeps.waits().size(), 1u) << "the last failed attempt still waits";
  }
}

TEST(RetryPolicy, SuccessEndsAtOnceWithoutLines) {
  zutest::ScopedSleepRecorder sleeps;
  LineRecorder rec;
  RetryOptions options;
  auto outcome = RunWithRetry(options, rec.make(), [](int n) {
    return n == 2 ? AttemptResult::kSuccess : AttemptResult::kRetry;
  });
  EXPECT_TRUE(outcome.succeeded);
  EXPECT_EQ(outcome.attempts, 2);
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"after 120000 1"}));
  EXPECT_EQ(sleeps.waits().size(), 1u);
}

TEST(RetryPolicy, RetryNowSkipsWaitAndLineAndStopEndsTheLoop) {
  zutest::ScopedSleepRecorder sleeps;
  LineRecorder rec;
  RetryOptions options;
  options.limit = 5;
  options.totalCount = zu::TotalCount::kAttemptsBeforeEarlyStop;
  auto outcome = RunWithRetry(options, rec.make(), [](int n) {
    return n < 3 ? AttemptResult::kRetryNow : AttemptResult::kStop;
  });
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_TRUE(outcome.stoppedEarly);
  EXPECT_EQ(outcome.attempts, 3);
  EXPECT_TRUE(sleeps.waits().empty());
  // The total of such operations is one less than the attempts when stopped early.
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"total 2"}));
}

TEST(RetryPolicy, RetryNowUntilTheLimitCountsEveryAttempt) {
  zutest::ScopedSleepRecorder sleeps;
  LineRecorder rec;
  RetryOptions options;
  options.limit = 4;
  options.totalCount = zu::TotalCount::kAttemptsBeforeEarlyStop;
  RunWithRetry(options, rec.make(), [](int) { return AttemptResult::kRetryNow; });
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"total 4"}));
  EXPECT_TRUE(sleeps.waits().empty());
}

TEST(RetryPolicy, NoWaitKindRetriesSilently) {
  zutest::ScopedSleepRecorder sleeps;
  RetryOptions options;
  options.limit = 3;
  options.wait = WaitKind::kNone;
  int calls = 0;
  RunWithRetry(options, {}, [&](int) {
    ++calls;
    return AttemptResult::kRetry;
  });
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(sleeps.waits().empty());
}

// Back-off: recorded waits for several caps over 40 attempts.
std::vector<unsigned> BackoffWaits(int cap, int jitter) {
  zutest::ScopedSleepRecorder sleeps;
  zutest::EnvChange change;
  change.jitter = [jitter] { return jitter; };
  zutest::ScopedEnvChange fixedJitter(change);
  RetryOptions options;
  options.limit = 40;
  options.wait = WaitKind::kBackoff;
  options.backoffCapSeconds = cap;
  std::vector<unsigned> logged;
  zu::RetryLines lines;
  lines.retryingAfter = [&](unsigned ms, int) { logged.push_back(ms); };
  RunWithRetry(options, lines, [](int) { return AttemptResult::kRetry; });
  EXPECT_EQ(logged, sleeps.waits()) << "the logged wait is the wait taken";
  return sleeps.waits();
}

TEST(RetryBackoff, DefaultCapDoublesThenHoldsAtSixteenSeconds) {
  auto waits = BackoffWaits(16, 250);
  ASSERT_EQ(waits.size(), 40u);
  EXPECT_EQ(waits[0], 1250u);
  EXPECT_EQ(waits[1], 2250u);
  EXPECT_EQ(waits[2], 4250u);
  EXPECT_EQ(waits[3], 8250u);
  for (size_t i = 4; i < waits.size(); ++i) EXPECT_EQ(waits[i], 16000u) << i;
}

TEST(RetryBackoff, CapZeroNeverWaits) {
  auto waits = BackoffWaits(0, 999);
  ASSERT_EQ(waits.size(), 40u);
  for (unsigned w : waits) EXPECT_EQ(w, 0u);
}

TEST(RetryBackoff, LargestCapSaturatesWithoutWrapping) {
  auto waits = BackoffWaits(3600, 999);
  ASSERT_EQ(waits.size(), 40u);
  for (size_t i = 1; i < waits.size(); ++i) EXPECT_GE(waits[i], waits[i - 1]) << i;
  EXPECT_EQ(waits[11], 2048999u);  // 1000 * 2^11 + jitter, still below the cap
  EXPECT_EQ(waits[12], 3600000u);  // 4096999 capped
  EXPECT_EQ(waits.back(), 3600000u);
}

TEST(RetryBackoff, JitterFromRandStaysBelowOneSecond) {
  std::srand(12345);
  for (int n = 1; n <= 4; ++n) {
    // Without a test jitter source the process generator is used.
    zutest::ScopedSleepRecorder sleeps;
    RetryOptions options;
    options.limit = n;
    options.wait = WaitKind::kBackoff;
    options.backoffCapSeconds = 3600;
    RunWithRetry(options, {}, [](int) { return AttemptResult::kRetry; });
    unsigned base = 1000u << (n - 1);
    unsigned last = sleeps.waits().back();
    EXPECT_GE(last, base);
    EXPECT_LE(last, base + 999u);
  }
}

TEST(RetryBackoff, DelayFunctionHandlesExtremeAttempts) {
  EXPECT_EQ(zu::BackoffDelayMs(1000000, 3600, 0), 3600000u);
  EXPECT_EQ(zu::BackoffDelayMs(64, 16, 999), 16000u);
  EXPECT_EQ(zu::BackoffDelayMs(1, 3600, 0), 1000u);
  EXPECT_EQ(zu::BackoffDelayMs(5, -1, 500), 0u);
}

}  // namespace

namespace {

TEST(RetryPolicy, AStopRequestEndsAWaitAndMakesNoFurtherAttempt) {
  // A real two-minute wait that only the stop request can end.
  zutest::ScopedEnv scale("ZUCLOUD_WAIT_SCALE", std::string("1"));
  std::atomic<bool> stop{false};
  RetryOptions options;
  options.limit = 5;
  options.fixedMs = 120000;
  options.stopRequested = [&stop] { return stop.load(); };
  LineRecorder rec;
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
  });
  const auto outcome = RunWithRetry(options, rec.make(), [](int) { return AttemptResult::kRetry; });
  stopper.join();
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.attempts, 1);
  EXPECT_TRUE(outcome.stoppedEarly);
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"after 120000 1", "total 1"}));
}

}  // namespace

namespace {

// A request the gateway refuses to send fails the same way on every
// attempt: no second attempt and no wait. An operation stopped before its
// first attempt makes none.
TEST(RetryPolicy, RefusedRequestsAndEarlyStopsMakeNoFurtherAttempt) {
  zutest::ScopedSleepRecorder sleeps;
  LIBCURL::ZuInternetGateway gateway(nullptr);
  ASSERT_EQ(gateway.initialize(3, 0), 0);
  RetryOptions options;
  options.limit = 30;
  LineRecorder rec;
  int sent = 0;
  auto outcome = RunWithRetry(options, rec.make(), [&](int) {
    ++sent;
    std::string response;
    ZuCURL::commandInfoList headers;
    headers.push_back({"x-ms-meta-a", "b\r\nX-Injected: 1"});
    return gateway.doGetOperation("http://127.0.0.1:9/", response, headers) == 0
               ? AttemptResult::kSuccess
               : AttemptResult::kRetry;
  });
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(outcome.stoppedEarly);
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"total 1"}));

  // A failure the gateway did not make itself is still retried.
  sent = 0;
  options.limit = 2;
  outcome = RunWithRetry(options, LineRecorder().make(), [&](int) {
    ++sent;
    return AttemptResult::kRetry;
  });
  EXPECT_EQ(sent, 2);

  options.stopRequested = [] { return true; };
  sent = 0;
  outcome = RunWithRetry(options, LineRecorder().make(), [&](int) {
    ++sent;
    return AttemptResult::kSuccess;
  });
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(outcome.attempts, 0);
  EXPECT_FALSE(outcome.succeeded);
}

// A reply lost on a reused connection: the first such failure of a loop is
// followed by the next attempt at once (with the "lost" line, not the line
// of an operation called to skip its waits), any later one
// waits as usual, and the last attempt is never followed by one.
TEST(RetryPolicy, TheFirstLostReplyOfALoopIsRetriedAtOnce) {
  struct Row {
    int limit;
    std::vector<bool> lost;  // per attempt: the reply was lost
    std::vector<unsigned> waits;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {3,
       {true, true, true},
       {120000, 120000},
       {"lost 1", "after 120000 2", "after 120000 3", "total 3"}},
      {3,
       {false, true, false},
       {120000, 120000},
       {"after 120000 1", "lost 2", "after 120000 3", "total 3"}},
      {1, {true}, {120000}, {"after 120000 1", "total 1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("limit " + std::to_string(row.limit));
    zutest::ScopedSleepRecorder sleeps;
    LineRecorder rec;
    RetryOptions options;
    options.limit = row.limit;
    auto outcome = RunWithRetry(options, rec.make(), [&](int n) {
      if (row.lost[static_cast<size_t>(n - 1)]) LIBCURL::NoteReplyLostOnThisThread();
      return AttemptResult::kRetry;
    });
    EXPECT_EQ(outcome.attempts, row.limit);
    EXPECT_EQ(sleeps.waits(), row.waits);
    EXPECT_EQ(rec.lines, row.lines);
  }
}

// A refusal's Retry-After longer than the policy's wait is waited, up to
// the cap; a shorter one changes nothing.
TEST(RetryPolicy, ARetryAfterLongerThanTheWaitIsHonouredUpToTheCap) {
  const unsigned cap = static_cast<unsigned>(zu::kMaxRetryAfterSeconds) * 1000u;
  struct Row {
    WaitKind kind;
    long retryAfter;
    unsigned expected;
  };
  const std::vector<Row> rows = {
      {WaitKind::kFixed, 0, 120000},   {WaitKind::kFixed, 60, 120000},
      {WaitKind::kFixed, 200, 200000}, {WaitKind::kFixed, 299, 299000},
      {WaitKind::kFixed, 300, cap},    {WaitKind::kFixed, 301, cap},
      {WaitKind::kFixed, 86400, cap},  {WaitKind::kBackoff, 30, 30000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.retryAfter));
    zutest::ScopedSleepRecorder sleeps;
    LineRecorder rec;
    RetryOptions options;
    options.limit = 1;
    options.wait = row.kind;
    options.backoffCapSeconds = 0;
    RunWithRetry(options, rec.make(), [&](int) {
      zu::NoteRetryAfterOnThisThread(row.retryAfter);
      return AttemptResult::kRetry;
    });
    const unsigned expected =
        row.kind == WaitKind::kBackoff && row.retryAfter == 0 ? 0 : row.expected;
    EXPECT_EQ(sleeps.waits(), std::vector<unsigned>{expected});
    EXPECT_EQ(rec.lines.front(), "after " + std::to_string(expected) + " 1");
  }
}

// Retry-After as delta seconds or an HTTP date, read as a wait of at most a
// day.
TEST(RetryAfter, IsReadAsSecondsOrADateUpToADay) {
  const std::time_t now = 1700000000;
  char future[64];
  char past[64];
  const std::time_t later = now + 300;
  const std::time_t earlier = now - 300;
  std::strftime(future, sizeof future, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&later));
  std::strftime(past, sizeof past, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&earlier));
  const std::vector<std::pair<std::string, long>> rows = {
      {"120", 120},
      {"0", 0},
      {"86400", 86400},
      {"86401", 86400},
      {"99999999999", 86400},
      {future, 300},
      {past, 0},
      {"soon", 0},
      {"-5", 0},
      // Leading zeros are digits like any other: only the value counts.
      {"0000005", 5},
      {"000000000000086400", 86400},
      {"0000000086401", 86400},
      {"000", 0},
      {"1000000", 86400},
      {"999999", 86400},
      {"0999999", 86400},
      {"086399", 86399}};
  for (const auto& [value, seconds] : rows) {
    EXPECT_EQ(zu::RetryAfterSeconds({{"retry-after", value}}, now), seconds) << value;
  }
}

// Requests that run until their deadline end the loop after the third such
// attempt, whatever the retry count; two of them do not.
TEST(RetryPolicy, TheThirdAttemptAtTheDeadlineEndsTheLoop) {
  for (int atDeadline : {2, 3}) {
    SCOPED_TRACE(atDeadline);
    zutest::ScopedSleepRecorder sleeps;
    RetryOptions options;
    options.limit = 30;
    int calls = 0;
    auto outcome = RunWithRetry(options, {}, [&](int) {
      if (++calls <= atDeadline) LIBCURL::NoteDeadlineReachedOnThisThread();
      return calls < 5 ? AttemptResult::kRetry : AttemptResult::kSuccess;
    });
    EXPECT_EQ(outcome.succeeded, atDeadline < zu::kMaxAttemptsAtDeadline);
    EXPECT_EQ(calls, atDeadline < zu::kMaxAttemptsAtDeadline ? 5 : zu::kMaxAttemptsAtDeadline);
  }
}

}  // namespace
