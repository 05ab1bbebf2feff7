// Semaphores and critical sections.
//
// ZuSemaphoreH is fair: waiters receive tokens in the order they started
// waiting, so a waiting thread gets the token in bounded time even while
// another thread releases and waits again in a tight loop.
//
// A wait() made on a ZuThreadPool thread whose pool is being terminated
// throws zu::ThreadTerminated without taking a token; the pool catches it
// and ends the thread.
#ifndef ZUCLOUD_PLATFORM_ZU_SYNC_H
#define ZUCLOUD_PLATFORM_ZU_SYNC_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/threads/ThreadAnnotations.h"

namespace zu {
// Unwinds a pool thread out of a blocking wait during termination.
struct ThreadTerminated {};

// A std::mutex that clang's thread-safety analysis knows as a capability
// (libstdc++'s own is not annotated), with its scope guard.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }

 private:
  friend class CondVar;
  std::mutex m_mutex;
};

// Holds a lock for its scope: a Mutex (MutexLock), or a SharedMutex for
// writing (ExclusiveLock).
template <class Lockable>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(Lockable& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~ScopedLock() RELEASE() { m_mutex.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Lockable& m_mutex;
};

using MutexLock = ScopedLock<Mutex>;

// A condition variable whose waits give back and take again a zu::Mutex the
// caller holds (a std::condition_variable underneath: no allocation). The
// caller re-checks its condition in a loop around wait(), under the mutex,
// where the analysis sees the fields it reads.
class CondVar {
 public:
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
    m_cv.wait(lock);
    lock.release();  // still held: the caller's scope guard gives it back
  }
  // False when `deadline` passed first.
  bool waitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
    const bool woken = m_cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void notifyOne() { m_cv.notify_one(); }
  void notifyAll() { m_cv.notify_all(); }

 private:
  std::condition_variable m_cv;
};

// A reader-writer lock for the analysis: many readers or one writer.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }
  void lockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
  void unlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

 private:
  std::shared_mutex m_mutex;
};

class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
    m_mutex.lockShared();
  }
  ~SharedLock() RELEASE() { m_mutex.unlockShared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& m_mutex;
};

using ExclusiveLock = ScopedLock<SharedMutex>;

}  // namespace zu

class ZuSemaphoreH {
 public:
  explicit ZuSemaphoreH(long initialCount);
  ~ZuSemaphoreH();
  ZuSemaphoreH(const ZuSemaphoreH&) = delete;
  ZuSemaphoreH& operator=(const ZuSemaphoreH&) = delete;

  // Takes one token, blocking until one is free; 0 on success.
  int wait();
  // Adds `count` tokens; 0 on success.
  int release(long count);

  // Wakes every waiter so that it re-checks its thread's termination flag.
  void wakeAll();

 private:
  // One blocked wait() call; lives on the waiting thread's stack and is
  // linked into the queue below while the call is blocked. Its place in the
  // queue is its ticket: only the head may take a token.
  struct Waiter;
  void unlink(Waiter* waiter) REQUIRES(m_mutex);
  void signalHead() REQUIRES(m_mutex);  // wake the head if it can go

  zu::Mutex m_mutex;
  long m_count GUARDED_BY(m_mutex);
  Waiter* m_head GUARDED_BY(m_mutex) = nullptr;  // oldest waiter, next to be served
  Waiter* m_tail GUARDED_BY(m_mutex) = nullptr;  // newest waiter
};

// A recursive lock.
class ZuCriticalSectionH {
 public:
  ZuCriticalSectionH() = default;
  // wait true: block until entered, returns 0. wait false: try once,
  // returns 0 when entered and non-zero when another thread holds it.
  int enter(bool wait);
  void leave();

 private:
  std::recursive_mutex m_mutex;
};

// Owns a ZuSemaphoreH; throws "Not enough memory to initialize ZuSemaphore"
// when it cannot be created.
class ZuSemaphore {
 public:
  explicit ZuSemaphore(long initialCount);
  ZuSemaphore(const ZuSemaphore&) = delete;
  ZuSemaphore& operator=(const ZuSemaphore&) = delete;
  void wait();
  void release(long count);

 private:
  std::unique_ptr<ZuSemaphoreH> m_handle;
};

// Owns a ZuCriticalSectionH; throws "Not enough memory to initialize
// ZuCriticalSection" when it cannot be created. A capability for clang's
// thread-safety analysis: fields it guards say GUARDED_BY(it).
class CAPABILITY("mutex") ZuCriticalSection {
 public:
  ZuCriticalSection();
  ZuCriticalSection(const ZuCriticalSection&) = delete;
  ZuCriticalSection& operator=(const ZuCriticalSection&) = delete;
  // The library enters only with wait true (enter(false) may fail, which
  // the analysis cannot see).
  void enter(bool wait) ACQUIRE();
  void leave() RELEASE();

 private:
  std::unique_ptr<ZuCriticalSectionH> m_handle;
};

// Scope lock: enter(true) on construction and leave() on destruction when
// the pointer is not null.
class SCOPED_CAPABILITY ZuCriticalSectionLock {
 public:
  explicit ZuCriticalSectionLock(ZuCriticalSection* section) ACQUIRE(section);
  ~ZuCriticalSectionLock() RELEASE();
  ZuCriticalSectionLock(const ZuCriticalSectionLock&) = delete;
  ZuCriticalSectionLock& operator=(const ZuCriticalSectionLock&) = delete;

 private:
  ZuCriticalSection* m_section;
};

#endif  // ZUCLOUD_PLATFORM_ZU_SYNC_H
