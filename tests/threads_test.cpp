// Threads, the thread pool, semaphores and critical sections.
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads/ZuSync.h"
#include "platform/threads/ZuThread.h"
#include "support/TestEnv.h"

// ---------------------------------------------------------------------------
// Failing nothrow allocation on demand, to reach the wrappers' out-of-memory
// paths. Only the nothrow forms are replaced; everything else allocates as
// usual.

namespace {
thread_local bool tlsFailNothrowNew = false;
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (tlsFailNothrowNew) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }

namespace {

using namespace std::chrono_literals;

constexpr auto kGuard = std::chrono::seconds(20);

// A call that does not come back within `limit` is a hang: the process
// reports it and exits, because nothing could be torn down safely after it.
void RunBounded(const char* what, const std::function<void()>& fn,
                std::chrono::milliseconds limit = kGuard) {
  zutest::RunBounded(what, fn, limit);
}

// Polls until pred() holds; false after `limit`.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = kGuard) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Thread `tid` of this process is asleep in a condition variable's wait, as
// /proc shows it: in the futex call glibc's condition variables make
// (FUTEX_WAIT_BITSET; a mutex sleeps in FUTEX_WAIT).
bool AsleepInConditionWait(long tid) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string line;
  if (!std::getline(file, line)) return false;
  std::istringstream fields(line);
  long number = -1;
  std::string address, op;
  if (!(fields >> number >> address >> op) || number != SYS_futex) return false;
  return (std::stoul(op, nullptr, 16) & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET;
}

// The threads inside a ZuSemaphoreH::wait() call, as they say themselves (a
// Scope around the call), and how many of them are asleep in it. A waiter
// sleeps only once it is queued, so a count of sleepers is a count of
// queued waiters.
class WaitWatch {
 public:
  class Scope {
   public:
    explicit Scope(WaitWatch& watch) : m_watch(watch) {
      std::lock_guard<std::mutex> lock(m_watch.m_mutex);
      m_watch.m_inside.push_back(static_cast<long>(::syscall(SYS_gettid)));
    }
    ~Scope() {
      std::lock_guard<std::mutex> lock(m_watch.m_mutex);
      const long self = static_cast<long>(::syscall(SYS_gettid));
      m_watch.m_inside.erase(std::find(m_watch.m_inside.begin(), m_watch.m_inside.end(), self));
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    WaitWatch& m_watch;
  };

  int inside() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_inside.size());
  }
  int asleep() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_inside.begin(), m_inside.end(), AsleepInConditionWait));
  }

 private:
  std::mutex m_mutex;
  std::vector<long> m_inside;
};

// Thread counts settle once joined threads are gone from /proc.
bool ThreadsBackTo(int expected) {
  return WaitUntil([&] { return zutest::CountThreads() == expected; }, 5000ms);
}

}  // namespace

// ---------------------------------------------------------------------------
// ZuSemaphoreH

TEST(SemaphoreTest, CountsTokensAndRejectsNegativeRelease) {
  ZuSemaphoreH sem(2);
  EXPECT_EQ(sem.wait(), 0);
  EXPECT_EQ(sem.wait(), 0);
  EXPECT_NE(sem.release(-1), 0);

  // No token left: a third waiter blocks until one is released.
  std::atomic<bool> got{false};
  WaitWatch watch;
  std::thread t([&] {
    {
      WaitWatch::Scope scope(watch);
      sem.wait();
    }
    got = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == 1; }));
  EXPECT_FALSE(got.load());
  EXPECT_EQ(sem.release(1), 0);
  t.join();
  EXPECT_TRUE(got.load());
  // The served waiter left the queue: with a free token the next wait
  // returns at once instead of lining up behind it.
  EXPECT_EQ(sem.release(1), 0);
  RunBounded("a wait with a free token and nobody queued", [&] { EXPECT_EQ(sem.wait(), 0); });
}

TEST(SemaphoreTest, TokensGoToWaitersInArrivalOrder) {
  ZuSemaphoreH sem(0);
  constexpr int kWaiters = 6;
  std::mutex orderMutex;
  std::vector<int> order;
  std::vector<std::thread> threads;
  WaitWatch watch;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, i] {
      {
        WaitWatch::Scope scope(watch);
        sem.wait();
      }
      std::lock_guard<std::mutex> lock(orderMutex);
      order.push_back(i);
    });
    // Thread i is queued before thread i + 1 starts.
    ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == i + 1; }));
  }
  auto served = [&] {
    std::lock_guard<std::mutex> lock(orderMutex);
    return order.size();
  };
  for (int i = 0; i < kWaiters; ++i) {
    sem.release(1);
    ASSERT_TRUE(WaitUntil([&] { return served() == static_cast<size_t>(i + 1); }));
  }
  for (auto& t : threads) t.join();
  std::vector<int> expected;
  for (int i = 0; i < kWaiters; ++i) expected.push_back(i);
  EXPECT_EQ(order, expected);
}

TEST(SemaphoreTest, ReleaseOfSeveralTokensServesSeveralWaiters) {
  ZuSemaphoreH sem(0);
  std::atomic<int> served{0};
  std::vector<std::thread> threads;
  WaitWatch watch;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      {
        WaitWatch::Scope scope(watch);
        sem.wait();
      }
      ++served;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == 4; }));
  sem.release(3);
  ASSERT_TRUE(WaitUntil([&] { return served.load() == 3; }));
  EXPECT_EQ(watch.inside(), 1);
  EXPECT_TRUE(WaitUntil([&] { return watch.asleep() == 1; })) << "the fourth still waits";
  sem.release(1);
  for (auto& t : threads) t.join();
  EXPECT_EQ(served.load(), 4);
}

// A thread that gives the token back and asks for it again at once must not
// overtake a thread that was already waiting.
TEST(SemaphoreTest, ReleaseAndWaitAgainDoesNotStarveAWaiter) {
  ZuSemaphoreH sem(1);
  constexpr int kCap = 100000;
  std::atomic<bool> go{false};
  std::atomic<bool> waiterServed{false};
  int loops = 0;

  sem.wait();  // the looping thread starts out holding the token
  std::thread looper([&] {
    while (!go) std::this_thread::yield();
    while (!waiterServed && loops < kCap) {
      sem.release(1);
      sem.wait();
      ++loops;
    }
    sem.release(1);
  });
  WaitWatch watch;
  std::thread waiter([&] {
    {
      WaitWatch::Scope scope(watch);
      sem.wait();
    }
    waiterServed = true;
    sem.release(1);
  });
  ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == 1; }));
  go = true;
  looper.join();
  waiter.join();
  EXPECT_TRUE(waiterServed.load());
  // The waiter was queued first, so the looper's first release hands it the
  // token and the looper's next wait returns only after the waiter is done.
  EXPECT_EQ(loops, 1);
}

TEST(SemaphoreTest, SeveralWaitersAllServedWhileOneThreadLoops) {
  ZuSemaphoreH sem(1);
  constexpr int kWaiters = 3;
  constexpr int kCap = 100000;
  std::atomic<bool> go{false};
  std::atomic<int> served{0};
  int loops = 0;

  sem.wait();
  std::thread looper([&] {
    while (!go) std::this_thread::yield();
    while (served < kWaiters && loops < kCap) {
      sem.release(1);
      sem.wait();
      ++loops;
    }
    sem.release(1);
  });
  std::vector<std::thread> waiters;
  WaitWatch watch;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      {
        WaitWatch::Scope scope(watch);
        sem.wait();
      }
      ++served;
      sem.release(1);
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == kWaiters; }));
  go = true;
  looper.join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(served.load(), kWaiters);
  EXPECT_EQ(loops, 1);
}

TEST(SemaphoreTest, ThreadsOutsideAPoolAreNeverInterrupted) {
  ZuSemaphoreH sem(0);
  std::atomic<bool> got{false};
  WaitWatch watch;
  std::thread t([&] {
    {
      WaitWatch::Scope scope(watch);
      sem.wait();
    }
    got = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return watch.asleep() == 1; }));
  sem.wakeAll();  // a wake-up alone does not end the wait
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(got.load());
  EXPECT_EQ(watch.inside(), 1);
  EXPECT_TRUE(WaitUntil([&] { return watch.asleep() == 1; })) << "back asleep in its wait";
  sem.release(1);
  t.join();
  EXPECT_TRUE(got.load());
}

// ---------------------------------------------------------------------------
// Owning wrappers

TEST(SyncWrapperTest, SemaphoreWaitsAndReleases) {
  ZuSemaphore sem(0);
  std::atomic<int> got{0};
  std::thread a([&] {
    sem.wait();
    ++got;
  });
  std::thread b([&] {
    sem.wait();
    ++got;
  });
  sem.release(2);
  a.join();
  b.join();
  EXPECT_EQ(got.load(), 2);
}

TEST(SyncWrapperTest, OutOfMemoryThrowsTheDocumentedStrings) {
  tlsFailNothrowNew = true;
  std::string semMessage, csMessage;
  try {
    ZuSemaphore sem(1);
  } catch (const char* message) {
    semMessage = message;
  }
  try {
    ZuCriticalSection cs;
  } catch (const char* message) {
    csMessage = message;
  }
  tlsFailNothrowNew = false;
  EXPECT_EQ(semMessage, "Not enough memory to initialize ZuSemaphore");
  EXPECT_EQ(csMessage, "Not enough memory to initialize ZuCriticalSection");
  EXPECT_NO_THROW({
    ZuSemaphore sem(1);
    ZuCriticalSection cs;
  });
}

TEST(CriticalSectionTest, RecursiveOnOwnerAndTryEnterFailsElsewhere) {
  ZuCriticalSectionH cs;
  EXPECT_EQ(cs.enter(true), 0);
  EXPECT_EQ(cs.enter(true), 0);   // recursion
  EXPECT_EQ(cs.enter(false), 0);  // try-enter by the owner succeeds too

  int other = -1;
  std::thread([&] { other = cs.enter(false); }).join();
  EXPECT_NE(other, 0);

  cs.leave();
  cs.leave();
  std::thread([&] { other = cs.enter(false); }).join();
  EXPECT_NE(other, 0) << "still held once";

  cs.leave();
  std::thread([&] {
    other = cs.enter(false);
    if (other == 0) cs.leave();
  }).join();
  EXPECT_EQ(other, 0);
}

TEST(CriticalSectionTest, ScopeLockExcludesOtherThreadsAndIgnoresNull) {
  { ZuCriticalSectionLock nothing(nullptr); }  // must not touch anything

  ZuCriticalSection cs;
  std::atomic<bool> entered{false};
  std::thread t;
  {
    ZuCriticalSectionLock lock(&cs);
    ZuCriticalSectionLock again(&cs);  // recursive through the wrapper
    t = std::thread([&] {
      cs.enter(true);
      entered = true;
      cs.leave();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(entered.load());
  }
  t.join();
  EXPECT_TRUE(entered.load());
}

// ---------------------------------------------------------------------------
// ZuThread

namespace {
unsigned int ReturnArg(void* arg) { return *static_cast<unsigned int*>(arg); }

unsigned int WaitOnSemaphore(void* arg) {
  static_cast<ZuSemaphoreH*>(arg)->wait();
  return 7;
}

unsigned int Throws(void*) { throw std::runtime_error("routine failed"); }
}  // namespace

TEST(ThreadTest, CreateJoinAndResult) {
  unsigned int value = 42;
  ZuThread thread;
  ASSERT_EQ(thread.createThread(ReturnArg, &value), 0);
  unsigned int result = 0;
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_EQ(result, 42u);
  EXPECT_NE(thread.joinThread(&result), 0) << "already joined";

  // The object can run another routine after a join.
  value = 5;
  ASSERT_EQ(thread.createThread(ReturnArg, &value), 0);
  EXPECT_EQ(thread.joinThread(nullptr), 0);
}

TEST(ThreadTest, RefusesASecondStartAndNullRoutine) {
  ZuSemaphoreH sem(0);
  ZuThread thread;
  EXPECT_NE(thread.createThread(nullptr, nullptr), 0);
  ASSERT_EQ(thread.createThread(WaitOnSemaphore, &sem), 0);
  EXPECT_NE(thread.createThread(WaitOnSemaphore, &sem), 0);
  sem.release(1);
  unsigned int result = 0;
  EXPECT_EQ(thread.joinThread(&result), 0);
  EXPECT_EQ(result, 7u);
}

TEST(ThreadTest, DestructorJoinsAndThrowingRoutineIsContained) {
  const int before = zutest::CountThreads();
  ZuSemaphoreH sem(0);
  {
    ZuThread thread;
    ASSERT_EQ(thread.createThread(WaitOnSemaphore, &sem), 0);
    sem.release(1);
  }  // joined here; the semaphore outlives the thread
  EXPECT_TRUE(ThreadsBackTo(before));

  ZuThread thrower;
  ASSERT_EQ(thrower.createThread(Throws, nullptr), 0);
  unsigned int result = 0;
  EXPECT_EQ(thrower.joinThread(&result), 0);
  EXPECT_NE(result, 0u);
}

// ---------------------------------------------------------------------------
// ZuThreadPool

namespace {
unsigned int Increment(void* arg) {
  ++*static_cast<std::atomic<int>*>(arg);
  return 0;
}

struct Gate {
  ZuSemaphoreH sem{0};
  WaitWatch watch;  // the calls inside sem.wait()
  std::atomic<int> passed{0};
  std::atomic<int> interrupted{0};
};

unsigned int PassGate(void* arg) {
  auto* gate = static_cast<Gate*>(arg);
  try {
    WaitWatch::Scope scope(gate->watch);
    gate->sem.wait();
  } catch (const zu::ThreadTerminated&) {
    ++gate->interrupted;
    throw;
  }
  ++gate->passed;
  return 0;
}

unsigned int ThrowRuntimeError(void*) { throw std::runtime_error("boom"); }
unsigned int ThrowCString(void*) { throw "boom"; }
}  // namespace

TEST(ThreadPoolTest, RunsEveryQueuedCallAndWaitsForThem) {
  std::atomic<int> count{0};
  ZuThreadPool pool;
  EXPECT_NE(pool.doWork(Increment, &count), 0) << "not started yet";
  ASSERT_EQ(pool.initThreadPool(1000, 4, 4, 4), 0);
  EXPECT_NE(pool.initThreadPool(1000, 4, 4, 4), 0) << "second start";
  for (int i = 0; i < 500; ++i) ASSERT_EQ(pool.doWork(Increment, &count), 0);
  EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 0);
  EXPECT_EQ(count.load(), 500);
  EXPECT_NE(pool.doWork(nullptr, nullptr), 0);
}

TEST(ThreadPoolTest, StartsTheClampedNumberOfThreads) {
  const int before = zutest::CountThreads();
  {
    ZuThreadPool pool;
    ASSERT_EQ(pool.initThreadPool(10, 0, 0, 0), 0);
    EXPECT_TRUE(ThreadsBackTo(before + 1));
  }
  EXPECT_TRUE(ThreadsBackTo(before));
  {
    ZuThreadPool pool;
    ASSERT_EQ(pool.initThreadPool(10, 3, 3, 50), 0);
    EXPECT_TRUE(ThreadsBackTo(before + 3));
  }
  EXPECT_TRUE(ThreadsBackTo(before));
}

TEST(ThreadPoolTest, WaitTimesOutWhileACallIsBlockedAndQueueIsBounded) {
  Gate gate;
  ZuThreadPool pool;
  ASSERT_EQ(pool.initThreadPool(2, 1, 1, 1), 0);
  ASSERT_EQ(pool.doWork(PassGate, &gate), 0);
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 1; }));
  // The only thread is busy: two calls fit in the queue, a third does not.
  EXPECT_EQ(pool.doWork(PassGate, &gate), 0);
  EXPECT_EQ(pool.doWork(PassGate, &gate), 0);
  EXPECT_NE(pool.doWork(PassGate, &gate), 0);

  EXPECT_NE(pool.waitForAllThreads(true, true, true, 30), 0);
  EXPECT_EQ(gate.passed.load(), 0);

  gate.sem.release(3);
  EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 0);
  EXPECT_EQ(gate.passed.load(), 3);
  EXPECT_EQ(gate.interrupted.load(), 0);
}

TEST(ThreadPoolTest, ThrowingCallsDoNotStopThePool) {
  std::atomic<int> count{0};
  ZuThreadPool pool;
  ASSERT_EQ(pool.initThreadPool(100, 1, 1, 1), 0);
  ASSERT_EQ(pool.doWork(ThrowRuntimeError, nullptr), 0);
  ASSERT_EQ(pool.doWork(ThrowCString, nullptr), 0);
  ASSERT_EQ(pool.doWork(Increment, &count), 0);
  EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 0);
  EXPECT_EQ(count.load(), 1);
}

// The case the block uploader depends on: every pool thread waits on a
// semaphore whose only token the terminating thread holds, together with a
// critical section.
TEST(ThreadPoolTest, TerminateEndsThreadsBlockedOnAHeldSemaphore) {
  const int before = zutest::CountThreads();
  constexpr int kThreads = 4;
  Gate gate;
  gate.sem.release(1);
  ZuCriticalSection section;
  auto pool = std::make_unique<ZuThreadPool>();
  ASSERT_EQ(pool->initThreadPool(1000, kThreads, kThreads, kThreads), 0);

  bool allBlocked = false;
  // The terminating thread holds the only token and the critical section,
  // as the producer does.
  RunBounded("terminate while holding the token", [&] {
    gate.sem.wait();
    ZuCriticalSectionLock lock(&section);
    for (int i = 0; i < 3 * kThreads; ++i) {
      if (pool->doWork(PassGate, &gate) != 0) return;
    }
    allBlocked = WaitUntil([&] { return gate.watch.asleep() == kThreads; });
    if (allBlocked) pool->terminateAllThreads();
  });
  ASSERT_TRUE(allBlocked);

  EXPECT_EQ(gate.passed.load(), 0);
  EXPECT_EQ(gate.interrupted.load(), kThreads) << "queued calls must be dropped";
  EXPECT_EQ(gate.watch.inside(), 0);
  EXPECT_TRUE(ThreadsBackTo(before)) << "a pool thread survived termination";
  EXPECT_NE(pool->doWork(PassGate, &gate), 0) << "terminated pool accepts work";
  EXPECT_EQ(pool->waitForAllThreads(true, true, true, -1), 0);

  // The token is still the only one and no interrupted waiter stayed in the
  // queue: after giving it back, one wait passes at once and the next blocks.
  gate.sem.release(1);
  RunBounded("wait after terminate", [&] { gate.sem.wait(); });
  std::atomic<bool> second{false};
  std::thread t([&] {
    {
      WaitWatch::Scope scope(gate.watch);
      gate.sem.wait();
    }
    second = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 1; }));
  EXPECT_FALSE(second.load());
  gate.sem.release(1);
  t.join();
  EXPECT_TRUE(second.load());

  RunBounded("pool destructor", [&] { pool.reset(); });
}

// A pool thread that leaves the queue must not disturb the order of the
// waiters around it.
TEST(ThreadPoolTest, InterruptedWaiterLeavesOthersInOrder) {
  Gate gate;
  std::mutex orderMutex;
  std::vector<char> order;
  auto outsideWaiter = [&](char name) {
    return std::thread([&, name] {
      {
        WaitWatch::Scope scope(gate.watch);
        gate.sem.wait();
      }
      std::lock_guard<std::mutex> lock(orderMutex);
      order.push_back(name);
    });
  };

  ZuThreadPool pool;
  ASSERT_EQ(pool.initThreadPool(10, 2, 2, 2), 0);
  ASSERT_EQ(pool.doWork(PassGate, &gate), 0);  // pool waiter first in line
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 1; }));
  std::thread a = outsideWaiter('a');
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 2; }));
  ASSERT_EQ(pool.doWork(PassGate, &gate), 0);  // pool waiter in the middle
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 3; }));
  std::thread b = outsideWaiter('b');
  ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 4; }));

  RunBounded("terminateAllThreads", [&] { pool.terminateAllThreads(); });
  EXPECT_EQ(gate.interrupted.load(), 2);
  EXPECT_EQ(gate.watch.inside(), 2);

  auto served = [&] {
    std::lock_guard<std::mutex> lock(orderMutex);
    return order.size();
  };
  gate.sem.release(1);
  ASSERT_TRUE(WaitUntil([&] { return served() == 1; }));
  gate.sem.release(1);
  ASSERT_TRUE(WaitUntil([&] { return served() == 2; }));
  a.join();
  b.join();
  EXPECT_EQ(order, (std::vector<char>{'a', 'b'}));
  EXPECT_EQ(gate.passed.load(), 0);
}

namespace {
// Runs until its pool starts terminating, which its next wait tells it by
// throwing although a token is free (bounded, in case it never does).
unsigned int SpinUntilTerminating(void* arg) {
  auto* seen = static_cast<std::atomic<int>*>(arg);
  ZuSemaphoreH tokens(1);
  tokens.wait();  // not terminating yet: the free token is taken
  tokens.release(1);
  ++*seen;
  const auto deadline = std::chrono::steady_clock::now() + kGuard;
  try {
    for (;;) {
      tokens.wait();
      tokens.release(1);
      if (std::chrono::steady_clock::now() > deadline) return 1;
      std::this_thread::sleep_for(1ms);
    }
  } catch (const zu::ThreadTerminated&) {
    *seen += 10;
  }
  return 0;
}
}  // namespace

TEST(ThreadPoolTest, RunningCallSeesTerminationAndFinishes) {
  std::atomic<int> seen{0};
  ZuThreadPool pool;
  ASSERT_EQ(pool.initThreadPool(10, 1, 1, 1), 0);
  ASSERT_EQ(pool.doWork(SpinUntilTerminating, &seen), 0);
  ASSERT_TRUE(WaitUntil([&] { return seen.load() == 1; }));
  RunBounded("terminateAllThreads", [&] { pool.terminateAllThreads(); });
  EXPECT_EQ(seen.load(), 11) << "the running call saw the flag and ran to its end";
}

TEST(ThreadPoolTest, DestructorWithQueuedAndBlockedWorkDoesNotHang) {
  const int before = zutest::CountThreads();
  Gate gate;
  {
    auto pool = std::make_unique<ZuThreadPool>();
    ASSERT_EQ(pool->initThreadPool(1000, 3, 3, 3), 0);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(pool->doWork(PassGate, &gate), 0);
    ASSERT_TRUE(WaitUntil([&] { return gate.watch.asleep() == 3; }));
    RunBounded("pool destructor", [&] { pool.reset(); });
  }
  EXPECT_EQ(gate.passed.load(), 0);
  EXPECT_EQ(gate.interrupted.load(), 3);
  EXPECT_TRUE(ThreadsBackTo(before));
}

namespace {
struct SelfTerminate {
  ZuThreadPool* pool = nullptr;
  Gate gate;
  std::atomic<bool> returned{false};
};

unsigned int TerminateOwnPool(void* arg) {
  auto* ctx = static_cast<SelfTerminate*>(arg);
  ctx->pool->terminateAllThreads();
  // Its own pool is terminating: a wait on this thread ends at once, even
  // with a token free.
  ZuSemaphoreH freeToken(1);
  bool interrupted = false;
  try {
    freeToken.wait();
  } catch (const zu::ThreadTerminated&) {
    interrupted = true;
  }
  EXPECT_TRUE(interrupted);
  ctx->returned = true;
  return 0;
}
}  // namespace

TEST(ThreadPoolTest, TerminateFromAPoolThreadEndsTheOthers) {
  const int before = zutest::CountThreads();
  SelfTerminate ctx;
  {
    auto pool = std::make_unique<ZuThreadPool>();
    ctx.pool = pool.get();
    ASSERT_EQ(pool->initThreadPool(100, 3, 3, 3), 0);
    ASSERT_EQ(pool->doWork(PassGate, &ctx.gate), 0);
    ASSERT_EQ(pool->doWork(PassGate, &ctx.gate), 0);
    ASSERT_TRUE(WaitUntil([&] { return ctx.gate.watch.asleep() == 2; }));
    ASSERT_EQ(pool->doWork(TerminateOwnPool, &ctx), 0);
    ASSERT_TRUE(WaitUntil([&] { return ctx.returned.load(); }));
    // The terminating call joined the two others before it returned.
    EXPECT_EQ(ctx.gate.interrupted.load(), 2);
    EXPECT_NE(pool->doWork(PassGate, &ctx.gate), 0);
    RunBounded("pool destructor", [&] { pool.reset(); });
  }
  EXPECT_EQ(ctx.gate.passed.load(), 0);
  EXPECT_TRUE(ThreadsBackTo(before));
}

// ---------------------------------------------------------------------------
// The block uploader's pattern in miniature: one producer and a pool of
// uploaders share a one-token turn semaphore and a queue lock; slots travel
// through an empty and a full queue. On a failure the producer terminates the
// pool while it holds the token and the queue lock, and the semaphore and
// queues are destroyed as soon as it returns.

namespace {

struct MiniUpload {
  static constexpr int kSlots = 3;
  int blocks = 0;
  int failAt = -1;  // block number whose "upload" fails; -1: none
  ZuSemaphore turn{1};
  ZuCriticalSection queueLock;
  std::deque<int> emptyQueue;
  std::deque<int> fullQueue;
  int slotBlock[kSlots] = {};
  bool anyFailed = false;
  bool terminated = false;
  std::vector<int> sent;  // block numbers in send order (under queueLock)
};

unsigned int MiniUploader(void* arg) {
  auto* u = static_cast<MiniUpload*>(arg);
  u->turn.wait();
  int k;
  bool failedBefore;
  {
    ZuCriticalSectionLock lock(&u->queueLock);
    failedBefore = u->anyFailed;
    if (u->fullQueue.empty()) {
      u->turn.release(1);
      return 0;
    }
    k = u->fullQueue.front();
    u->fullQueue.pop_front();
  }
  const int block = u->slotBlock[k];
  {
    ZuCriticalSectionLock lock(&u->queueLock);
    if (!failedBefore) {
      if (block == u->failAt) {
        u->anyFailed = true;
      } else {
        u->sent.push_back(block);
      }
    }
    u->emptyQueue.push_back(k);
  }
  u->turn.release(1);
  return failedBefore || block == u->failAt ? 1 : 0;
}

unsigned int MiniProducer(void* arg) {
  auto* u = static_cast<MiniUpload*>(arg);
  ZuThreadPool pool;
  if (pool.initThreadPool(100000, MiniUpload::kSlots, MiniUpload::kSlots, MiniUpload::kSlots) !=
      0) {
    return 1;
  }
  int block = 0;
  while (block < u->blocks) {
    u->turn.wait();
    int k = -1;
    {
      ZuCriticalSectionLock lock(&u->queueLock);
      if (u->anyFailed) {
        u->terminated = true;
        pool.terminateAllThreads();
        return 1;  // the token stays taken, as in the real producer
      }
      if (u->emptyQueue.empty()) {
        u->turn.release(1);
        continue;
      }
      k = u->emptyQueue.front();
      u->emptyQueue.pop_front();
    }
    u->slotBlock[k] = block++;
    {
      ZuCriticalSectionLock lock(&u->queueLock);
      u->fullQueue.push_back(k);
    }
    if (pool.doWork(MiniUploader, u) != 0) return 1;
    u->turn.release(1);
  }
  bool failed;
  {
    ZuCriticalSectionLock lock(&u->queueLock);
    failed = u->anyFailed;
  }
  if (failed) return 1;
  return pool.waitForAllThreads(true, true, true, -1) == 0 ? 0 : 1;
}

}  // namespace

TEST(MiniUploadTest, ProducerAndUploadersWithAndWithoutFailure) {
  constexpr int kBlocks = 12;
  constexpr int kRounds = 200;
  int terminatedRounds = 0;
  RunBounded(
      "upload rounds",
      [&] {
        const int before = zutest::CountThreads();  // includes this thread
        for (int round = 0; round < kRounds; ++round) {
          auto u = std::make_unique<MiniUpload>();
          u->blocks = kBlocks;
          // Every third round succeeds; the others fail at a moving block.
          u->failAt = round % 3 == 0 ? -1 : round % kBlocks;
          for (int i = 0; i < MiniUpload::kSlots; ++i) u->emptyQueue.push_back(i);

          ZuThread producer;
          ASSERT_EQ(producer.createThread(MiniProducer, u.get()), 0);
          unsigned int result = 99;
          ASSERT_EQ(producer.joinThread(&result), 0);

          // Blocks go out in order; a failure stops every later block.
          std::vector<int> expected;
          const int good = u->failAt < 0 ? kBlocks : u->failAt;
          for (int i = 0; i < good; ++i) expected.push_back(i);
          ASSERT_EQ(u->sent, expected) << "round " << round;
          ASSERT_EQ(u->anyFailed, u->failAt >= 0) << "round " << round;
          if (u->failAt < 0) {
            ASSERT_EQ(result, 0u) << "round " << round;
            ASSERT_EQ(u->emptyQueue.size(), static_cast<size_t>(MiniUpload::kSlots));
            ASSERT_TRUE(u->fullQueue.empty());
          }
          if (u->terminated) ++terminatedRounds;
          // The semaphore, lock and queues go away here; no pool thread may
          // still be using them.
          u.reset();
          ASSERT_TRUE(ThreadsBackTo(before)) << "round " << round;
        }
      },
      std::chrono::seconds(240));
  // Failures before the last block are always seen at a producer turn.
  EXPECT_GT(terminatedRounds, 0);
}
