// Threads and a thread pool.
#include "platform/threads/ZuThread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <system_error>
#include <utility>

#include "platform/threads/ZuSync.h"
#include "platform/threads/ZuThreadInternal.h"

namespace zu {
namespace detail {

// What a pool thread's blocking waits need to know about its pool. Every
// pool thread holds a reference to its pool's Shared (which contains this),
// so the thread-local pointer below stays valid for the thread's life.
struct PoolState {
  std::atomic<bool> terminating{false};

  // Semaphores that pool threads are blocked on right now, one entry per
  // blocked wait. Reserved to the thread count at start, so registering
  // never allocates. Lock order: registryMutex, then a semaphore's mutex.
  Mutex registryMutex;
  std::vector<ZuSemaphoreH*> blockedOn GUARDED_BY(registryMutex);
};

namespace {
thread_local PoolState* tlsPool = nullptr;
}  // namespace

InterruptibleWait::InterruptibleWait(ZuSemaphoreH* semaphore)
    : m_pool(tlsPool), m_semaphore(semaphore) {
  if (m_pool == nullptr) return;
  MutexLock lock(m_pool->registryMutex);
  m_pool->blockedOn.push_back(m_semaphore);
}

InterruptibleWait::~InterruptibleWait() {
  if (m_pool == nullptr) return;
  MutexLock lock(m_pool->registryMutex);
  auto& v = m_pool->blockedOn;
  auto it = std::find(v.begin(), v.end(), m_semaphore);
  if (it != v.end()) v.erase(it);
}

bool InterruptibleWait::terminating() const {
  return m_pool != nullptr && m_pool->terminating.load(std::memory_order_acquire);
}

}  // namespace detail

}  // namespace zu

// ---------------------------------------------------------------------------
// ZuThread

namespace {
constexpr unsigned int kRoutineThrew = 0xFFFFFFFFu;
}  // namespace

ZuThread::~ZuThread() {
  if (!m_thread.joinable()) return;
  if (m_thread.get_id() == std::this_thread::get_id()) {
    m_thread.detach();  // a routine deleting its own ZuThread cannot join itself
  } else {
    m_thread.join();
  }
}

int ZuThread::createThread(ZuThreadRoutine routine, void* arg) {
  if (routine == nullptr || m_thread.joinable()) return -1;
  m_result = 0;
  try {
    // m_result is written by the new thread and read only after join(),
    // which orders the two.
    m_thread = std::thread([this, routine, arg] {
      unsigned int result;
      try {
        result = routine(arg);
      } catch (...) {
        result = kRoutineThrew;
      }
      m_result = result;
    });
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

int ZuThread::joinThread(unsigned int* exitCode) {
  if (!m_thread.joinable() || m_thread.get_id() == std::this_thread::get_id()) return -1;
  try {
    m_thread.join();
  } catch (const std::system_error&) {
    return -1;
  }
  if (exitCode) *exitCode = m_result;
  return 0;
}

// ---------------------------------------------------------------------------
// ZuThreadPool

namespace {
constexpr int kMaxPoolThreads = 256;

struct Task {
  ZuThreadRoutine routine;
  void* arg;
};
}  // namespace

struct ZuThreadPool::Shared {
  zu::detail::PoolState state;

  // Serialises terminateAllThreads() callers outside the pool, so that each
  // of them returns only after every thread has been joined.
  zu::Mutex joinMutex ACQUIRED_BEFORE(mutex);

  zu::Mutex mutex;
  zu::CondVar workCv;  // workers: a task or termination
  zu::CondVar idleCv;  // waitForAllThreads: queue drained
  std::deque<Task> queue GUARDED_BY(mutex);
  size_t maxQueue GUARDED_BY(mutex) = 0;  // 0: unbounded
  int running GUARDED_BY(mutex) = 0;      // calls in progress
  bool started GUARDED_BY(mutex) = false;
  bool terminated GUARDED_BY(mutex) = false;           // mirrors state.terminating
  bool claimedByPoolThread GUARDED_BY(mutex) = false;  // a pool thread is joining the others
  std::vector<std::thread> threads GUARDED_BY(mutex);  // not yet joined
};

// The worker loop. ZuThreadPool::Shared is private, so the loop is a template
// that takes it by deduction rather than naming it.
namespace {

template <typename SharedT>
void WorkerLoop(SharedT& s) {
  for (;;) {
    Task task;
    {
      zu::MutexLock lock(s.mutex);
      while (!s.terminated && s.queue.empty()) s.workCv.wait(s.mutex);
      if (s.terminated) break;
      task = s.queue.front();
      s.queue.pop_front();
      ++s.running;
    }
    try {
      task.routine(task.arg);
    } catch (const zu::ThreadTerminated&) {
      // The pool is terminating; the loop sees it and ends.
    } catch (...) {
      // A routine's failure must not take the process down; the pool
      // carries on with the next call.
    }
    {
      zu::MutexLock lock(s.mutex);
      --s.running;
      if (s.running == 0 && s.queue.empty()) s.idleCv.notifyAll();
    }
  }
}

// Starts `count` threads running WorkerLoop; false when one could not be
// started (those that did are in s.threads). `shared` points at `s`; each
// thread keeps it alive.
template <typename SharedT>
bool StartThreads(SharedT& s, const std::shared_ptr<SharedT>& shared, int count) REQUIRES(s.mutex) {
  {
    zu::MutexLock registry(s.state.registryMutex);
    s.state.blockedOn.reserve(static_cast<size_t>(count));
  }
  s.threads.reserve(static_cast<size_t>(count));
  try {
    for (int i = 0; i < count; ++i) {
      s.threads.emplace_back([shared] {
        zu::detail::tlsPool = &shared->state;
        WorkerLoop(*shared);
        zu::detail::tlsPool = nullptr;
      });
    }
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

// On a pool thread: every thread of the pool but the caller's own, taken
// from the list to be joined; none when another pool thread claimed them.
template <typename SharedT>
std::vector<std::thread> TakeOtherThreads(SharedT& s) {
  std::vector<std::thread> others;
  zu::MutexLock lock(s.mutex);
  if (s.claimedByPoolThread) return others;
  s.claimedByPoolThread = true;
  const auto self = std::this_thread::get_id();
  std::vector<std::thread> keep;
  for (auto& t : s.threads) {
    if (t.get_id() == self) {
      keep.push_back(std::move(t));
    } else {
      others.push_back(std::move(t));
    }
  }
  s.threads.swap(keep);
  return others;
}

void JoinAll(std::vector<std::thread> threads) {
  for (auto& t : threads) {
    if (t.joinable()) t.join();
  }
}

}  // namespace

ZuThreadPool::ZuThreadPool() : m_shared(std::make_shared<Shared>()) {}

ZuThreadPool::~ZuThreadPool() {
  terminateAllThreads();
  // Only left over when the destructor runs on one of the pool's own
  // threads: that thread ends after its routine returns, and it keeps
  // Shared alive through its own reference.
  zu::MutexLock lock(m_shared->mutex);
  for (auto& t : m_shared->threads) {
    if (t.joinable()) t.detach();
  }
  m_shared->threads.clear();
}

int ZuThreadPool::initThreadPool(int maxQueue, int /*minThreads*/, int maxThreads,
                                 int initialThreads) {
  Shared& s = *m_shared;
  {
    zu::MutexLock lock(s.mutex);
    if (s.started || s.terminated) return -1;
    const int maxCount = std::clamp(maxThreads, 1, kMaxPoolThreads);
    const int count = std::clamp(initialThreads, 1, maxCount);
    s.maxQueue = maxQueue > 0 ? static_cast<size_t>(maxQueue) : 0;
    s.started = StartThreads(s, m_shared, count);
    if (s.started) return 0;
  }
  // All or nothing: stop the threads that did start.
  terminateAllThreads();
  return -1;
}

int ZuThreadPool::doWork(ZuThreadRoutine routine, void* arg) {
  if (routine == nullptr) return -1;
  Shared& s = *m_shared;
  {
    zu::MutexLock lock(s.mutex);
    if (!s.started || s.terminated) return -1;
    if (s.maxQueue != 0 && s.queue.size() >= s.maxQueue) return -2;
    s.queue.push_back(Task{routine, arg});
  }
  s.workCv.notifyOne();
  return 0;
}

int ZuThreadPool::waitForAllThreads(bool /*waitQueued*/, bool /*waitRunning*/, bool /*join*/,
                                    int timeoutMs) {
  Shared& s = *m_shared;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  zu::MutexLock lock(s.mutex);
  while (!s.queue.empty() || s.running != 0) {
    if (timeoutMs < 0) {
      s.idleCv.wait(s.mutex);
    } else if (!s.idleCv.waitUntil(s.mutex, deadline)) {
      return s.queue.empty() && s.running == 0 ? 0 : -1;
    }
  }
  return 0;
}

void ZuThreadPool::terminateAllThreads() {
  Shared& s = *m_shared;
  const bool onPoolThread = zu::detail::tlsPool == &s.state;

  // 1. Raise the flag and drop queued calls; idle workers see the flag.
  {
    zu::MutexLock lock(s.mutex);
    s.terminated = true;
    s.state.terminating.store(true, std::memory_order_release);
    s.queue.clear();
  }
  s.workCv.notifyAll();
  s.idleCv.notifyAll();

  // 2. Wake the pool threads blocked in a semaphore wait. A thread that
  //    registers after this point finds the flag already set (it reads it
  //    after taking registryMutex, which this block released).
  {
    zu::MutexLock registry(s.state.registryMutex);
    for (ZuSemaphoreH* semaphore : s.state.blockedOn) semaphore->wakeAll();
  }

  // 3. Join. A pool thread cannot join itself: the first pool thread to get
  //    here joins every other thread and leaves its own std::thread in the
  //    list; a later outside caller (or the destructor) joins it, which
  //    also waits for the joins it does. Outside callers are serialised so
  //    none returns while another still has threads to join.
  if (onPoolThread) {
    JoinAll(TakeOtherThreads(s));
    return;
  }
  zu::MutexLock joinLock(s.joinMutex);
  std::vector<std::thread> mine;
  {
    zu::MutexLock lock(s.mutex);
    mine.swap(s.threads);
  }
  JoinAll(std::move(mine));
}
