// Threads and a thread pool.
#ifndef ZUCLOUD_PLATFORM_ZU_THREAD_H
#define ZUCLOUD_PLATFORM_ZU_THREAD_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using ZuThreadRoutine = unsigned int (*)(void*);

// One thread running one routine. The destructor joins a thread that was
// started and not joined, so no thread outlives its owner.
class ZuThread {
 public:
  ZuThread() = default;
  ~ZuThread();
  ZuThread(const ZuThread&) = delete;
  ZuThread& operator=(const ZuThread&) = delete;

  // Starts routine(arg); 0 on success.
  int createThread(ZuThreadRoutine routine, void* arg);
  // Waits for the routine to end; stores its result in *exitCode when not
  // null. 0 on success.
  int joinThread(unsigned int* exitCode);

 private:
  std::thread m_thread;
  unsigned int m_result = 0;
};

// A fixed set of threads running queued calls in FIFO order.
class ZuThreadPool {
 public:
  ZuThreadPool();
  // Terminates and joins every thread.
  ~ZuThreadPool();
  ZuThreadPool(const ZuThreadPool&) = delete;
  ZuThreadPool& operator=(const ZuThreadPool&) = delete;

  // Starts `initialThreads` threads (at least 1, at most maxThreads);
  // `maxQueue` bounds the number of queued calls. 0 on success.
  int initThreadPool(int maxQueue, int minThreads, int maxThreads, int initialThreads);
  // Queues routine(arg); 0 on success, non-zero when the queue is full or
  // the pool is terminated.
  int doWork(ZuThreadRoutine routine, void* arg);
  // Returns when every queued call has finished (timeoutMs -1 waits for
  // ever); 0 on success, non-zero on time-out. The flags are accepted for
  // compatibility.
  int waitForAllThreads(bool waitQueued, bool waitRunning, bool join, int timeoutMs);
  // Ends every pool thread: queued calls are dropped, threads blocked in a
  // ZuSemaphoreH::wait() leave it without taking a token, idle threads stop.
  // Returns after every thread has ended (a call already past its waits runs
  // to completion first). May be called from a pool thread's own routine
  // only if that routine returns right after.
  void terminateAllThreads();

 private:
  struct Shared;
  std::shared_ptr<Shared> m_shared;
};

#endif  // ZUCLOUD_PLATFORM_ZU_THREAD_H
