// Semaphores and critical sections.
#include "platform/threads/ZuSync.h"

#include <new>

#include "platform/threads/ZuThreadInternal.h"

// ---------------------------------------------------------------------------
// ZuSemaphoreH
//
// Waiters queue in arrival order in an intrusive list of stack records, so a
// wait needs no allocation. A token is taken only by the head of the queue,
// and a caller that finds other threads queued goes to the back even when a
// token is free: a thread that releases and at once waits again therefore
// lines up behind the threads already waiting, and each of those gets the
// token after at most (queue length) turns of the others.
//
// Every waiter has its own condition variable, so release() wakes only the
// thread that may take the token instead of the whole queue.

struct ZuSemaphoreH::Waiter {
  zu::CondVar cv;
  Waiter* prev = nullptr;
  Waiter* next = nullptr;
};

ZuSemaphoreH::ZuSemaphoreH(long initialCount) : m_count(initialCount > 0 ? initialCount : 0) {}

// Destroying a semaphore that still has waiters is a caller error (the pool
// joins its threads before the owner lets the semaphore go).
ZuSemaphoreH::~ZuSemaphoreH() = default;

void ZuSemaphoreH::unlink(Waiter* waiter) {
  if (waiter->prev) {
    waiter->prev->next = waiter->next;
  } else {
    m_head = waiter->next;
  }
  if (waiter->next) {
    waiter->next->prev = waiter->prev;
  } else {
    m_tail = waiter->prev;
  }
  waiter->prev = waiter->next = nullptr;
}

void ZuSemaphoreH::signalHead() {
  if (m_head && m_count > 0) m_head->cv.notifyOne();
}

int ZuSemaphoreH::wait() {
  // Registered with the pool (if any) before m_mutex is taken; see the lock
  // order note in ZuThreadInternal.h.
  zu::detail::InterruptibleWait interruptible(this);
  if (interruptible.terminating()) throw zu::ThreadTerminated();

  zu::MutexLock lock(m_mutex);
  if (m_head == nullptr && m_count > 0) {
    --m_count;
    return 0;
  }

  Waiter self;
  self.prev = m_tail;
  if (m_tail) {
    m_tail->next = &self;
  } else {
    m_head = &self;
  }
  m_tail = &self;

  for (;;) {
    // Termination wins over a free token: a cancelled waiter leaves the
    // queue without taking anything, and the thread behind it may now be
    // the head with a token available.
    if (interruptible.terminating()) {
      unlink(&self);
      signalHead();
      throw zu::ThreadTerminated();
    }
    if (m_head == &self && m_count > 0) break;
    self.cv.wait(m_mutex);
  }

  unlink(&self);
  --m_count;
  signalHead();  // more than one token may have been released
  return 0;
}

int ZuSemaphoreH::release(long count) {
  if (count < 0) return -1;
  zu::MutexLock lock(m_mutex);
  m_count += count;
  signalHead();
  return 0;
}

void ZuSemaphoreH::wakeAll() {
  zu::MutexLock lock(m_mutex);
  for (Waiter* w = m_head; w; w = w->next) w->cv.notifyOne();
}

// ---------------------------------------------------------------------------
// ZuCriticalSectionH

int ZuCriticalSectionH::enter(bool wait) {
  if (wait) {
    m_mutex.lock();
    return 0;
  }
  return m_mutex.try_lock() ? 0 : 1;
}

void ZuCriticalSectionH::leave() { m_mutex.unlock(); }

// ---------------------------------------------------------------------------
// Owning wrappers

ZuSemaphore::ZuSemaphore(long initialCount)
    : m_handle(new (std::nothrow) ZuSemaphoreH(initialCount)) {
  if (m_handle == nullptr) throw "Not enough memory to initialize ZuSemaphore";
}

void ZuSemaphore::wait() { m_handle->wait(); }

void ZuSemaphore::release(long count) { m_handle->release(count); }

ZuCriticalSection::ZuCriticalSection() : m_handle(new (std::nothrow) ZuCriticalSectionH()) {
  if (m_handle == nullptr) throw "Not enough memory to initialize ZuCriticalSection";
}

void ZuCriticalSection::enter(bool wait) { m_handle->enter(wait); }

void ZuCriticalSection::leave() { m_handle->leave(); }

ZuCriticalSectionLock::ZuCriticalSectionLock(ZuCriticalSection* section) : m_section(section) {
  if (m_section) m_section->enter(true);
}

ZuCriticalSectionLock::~ZuCriticalSectionLock() {
  if (m_section) m_section->leave();
}
