// Link between ZuSemaphoreH and ZuThreadPool: how a blocking wait on a pool
// thread learns that its pool is being terminated. Internal to platform/.
#ifndef ZUCLOUD_PLATFORM_ZU_THREAD_INTERNAL_H
#define ZUCLOUD_PLATFORM_ZU_THREAD_INTERNAL_H

class ZuSemaphoreH;

namespace zu {
namespace detail {

struct PoolState;

// Covers one blocking ZuSemaphoreH::wait(). On a pool thread the constructor
// records `semaphore` with the pool, so that terminateAllThreads() can call
// its wakeAll() while the wait is blocked; the destructor removes it. On any
// other thread it does nothing and terminating() stays false.
//
// Lock order: the pool's registry lock is taken before the semaphore's
// mutex (terminateAllThreads holds the first while calling wakeAll), so this
// object must be constructed before and destroyed after the semaphore's
// mutex is held by the waiting thread.
class InterruptibleWait {
 public:
  explicit InterruptibleWait(ZuSemaphoreH* semaphore);
  ~InterruptibleWait();
  InterruptibleWait(const InterruptibleWait&) = delete;
  InterruptibleWait& operator=(const InterruptibleWait&) = delete;

  // True once the calling thread's pool has started terminating.
  bool terminating() const;

 private:
  PoolState* m_pool;
  ZuSemaphoreH* m_semaphore;
};

}  // namespace detail
}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_ZU_THREAD_INTERNAL_H
