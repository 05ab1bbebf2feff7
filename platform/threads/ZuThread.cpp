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
  std::mutex registryMutex;
  std::vector<ZuSemaphoreH*> blockedOn;
};

namespace {
thread_local PoolState* tlsPool = nullptr;
}  // namespace

InterruptibleWait::InterruptibleWait(ZuSemaphoreH* semaphore)
    : m_pool(tlsPool), m_semaphore(semaphore) {
  if (m_pool == nullptr) return;
  std::lock_guard<std::mutex> lock(m_pool->registryMutex);
  m_pool->blockedOn.push_back(m_semaphore);
}

InterruptibleWait::~InterruptibleWait() {
  if (m_pool == nullptr) return;
  std::lock_guard<std::mutex> lock(m_pool->registryMutex);
  auto& v = m_pool->blockedOn;
  auto it = std::find(v.begin(), v.end(), m_semaphore);
  if (it != v.end()) v.erase(it);
}

bool InterruptibleWait::terminating() const {
  return m_pool != nullptr && m_pool->terminating.load(std::memory_order_acquire);
}

}  // namespace detail

bool CurrentThreadTerminating() {
  const detail::PoolState* pool = detail::tlsPool;
  return pool != nullptr && pool->terminating.load(std::memory_order_acquire);
}

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

  std::mutex mutex;                // guards everything below
  std::condition_variable workCv;  // workers: a task or termination
  std::condition_variable idleCv;  // waitForAllThreads: queue drained
  std::deque<Task> queue;
  size_t maxQueue = 0;  // 0: unbounded
  int running = 0;      // calls in progress
  bool started = false;
  bool terminated = false;           // mirrors state.terminating
  bool claimedByPoolThread = false;  // a pool thread is joining the others
  std::vector<std::thread> threads;  // not yet joined

  // Serialises terminateAllThreads() callers outside the pool, so that each
  // of them returns only after every thread has been joined.
  std::mutex joinMutex;
};

// The worker loop. ZuThreadPool::Shared is private, so the loop is a template
// that takes it by deduction rather than naming it.
namespace {

template <typename SharedT>
void WorkerLoop(SharedT& s) {
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.workCv.wait(lock, [&] { return s.terminated || !s.queue.empty(); });
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
      std::lock_guard<std::mutex> lock(s.mutex);
      --s.running;
      if (s.running == 0 && s.queue.empty()) s.idleCv.notify_all();
    }
  }
}

}  // namespace

ZuThreadPool::ZuThreadPool() : m_shared(std::make_shared<Shared>()) {}

ZuThreadPool::~ZuThreadPool() {
  terminateAllThreads();
  // Only left over when the destructor runs on one of the pool's own
  // threads: that thread ends after its routine returns, and it keeps
  // Shared alive through its own reference.
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  for (auto& t : m_shared->threads) {
    if (t.joinable()) t.detach();
  }
  m_shared->threads.clear();
}

int ZuThreadPool::initThreadPool(int maxQueue, int /*minThreads*/, int maxThreads,
                                 int initialThreads) {
  Shared& s = *m_shared;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.started || s.terminated) return -1;

  const int maxCount = std::clamp(maxThreads, 1, kMaxPoolThreads);
  const int count = std::clamp(initialThreads, 1, maxCount);
  s.maxQueue = maxQueue > 0 ? static_cast<size_t>(maxQueue) : 0;
  {
    std::lock_guard<std::mutex> registry(s.state.registryMutex);
    s.state.blockedOn.reserve(static_cast<size_t>(count));
  }
  s.threads.reserve(static_cast<size_t>(count));

  std::shared_ptr<Shared> shared = m_shared;
  try {
    for (int i = 0; i < count; ++i) {
      s.threads.emplace_back([shared] {
        zu::detail::tlsPool = &shared->state;
        WorkerLoop(*shared);
        zu::detail::tlsPool = nullptr;
      });
    }
  } catch (const std::system_error&) {
    // All or nothing: stop the threads that did start.
    lock.unlock();
    terminateAllThreads();
    return -1;
  }
  s.started = true;
  return 0;
}

int ZuThreadPool::doWork(ZuThreadRoutine routine, void* arg) {
  if (routine == nullptr) return -1;
  Shared& s = *m_shared;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.started || s.terminated) return -1;
    if (s.maxQueue != 0 && s.queue.size() >= s.maxQueue) return -2;
    s.queue.push_back(Task{routine, arg});
  }
  s.workCv.notify_one();
  return 0;
}

int ZuThreadPool::waitForAllThreads(bool /*waitQueued*/, bool /*waitRunning*/, bool /*join*/,
                                    int timeoutMs) {
  Shared& s = *m_shared;
  std::unique_lock<std::mutex> lock(s.mutex);
  auto idle = [&] { return s.queue.empty() && s.running == 0; };
  if (timeoutMs < 0) {
    s.idleCv.wait(lock, idle);
    return 0;
  }
  return s.idleCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle) ? 0 : -1;
}

void ZuThreadPool::terminateAllThreads() {
  Shared& s = *m_shared;
  const bool onPoolThread = zu::detail::tlsPool == &s.state;

  // 1. Raise the flag and drop queued calls; idle workers see the flag.
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.terminated = true;
    s.state.terminating.store(true, std::memory_order_release);
    s.queue.clear();
  }
  s.workCv.notify_all();
  s.idleCv.notify_all();

  // 2. Wake the pool threads blocked in a semaphore wait. A thread that
  //    registers after this point finds the flag already set (it reads it
  //    after taking registryMutex, which this block released).
  {
    std::lock_guard<std::mutex> registry(s.state.registryMutex);
    for (ZuSemaphoreH* semaphore : s.state.blockedOn) semaphore->wakeAll();
  }

  // 3. Join. A pool thread cannot join itself: the first pool thread to get
  //    here joins every other thread and leaves its own std::thread in the
  //    list; a later outside caller (or the destructor) joins it, which
  //    also waits for the joins it does. Outside callers are serialised so
  //    none returns while another still has threads to join.
  std::vector<std::thread> mine;
  std::unique_lock<std::mutex> joinLock;
  if (onPoolThread) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.claimedByPoolThread) return;
    s.claimedByPoolThread = true;
    const auto self = std::this_thread::get_id();
    std::vector<std::thread> keep;
    for (auto& t : s.threads) {
      if (t.get_id() == self) {
        keep.push_back(std::move(t));
      } else {
        mine.push_back(std::move(t));
      }
    }
    s.threads.swap(keep);
  } else {
    joinLock = std::unique_lock<std::mutex>(s.joinMutex);
    std::lock_guard<std::mutex> lock(s.mutex);
    mine.swap(s.threads);
  }
  for (auto& t : mine) {
    if (t.joinable()) t.join();
  }
}
