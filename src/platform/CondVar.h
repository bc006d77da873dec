// CCondVar: a condition variable that waits on a CMutex or CRecursiveMutex
// the caller holds. Each wait gives the lock back while it sleeps and holds it
// again when it returns, as the standard one does; the analysis checks that
// the caller holds the lock it names. On a recursive lock held more than once,
// a wait gives back one acquisition only, so the other threads stay locked
// out: wait only where it is held once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

class CCondVar {
 public:
  CCondVar() = default;
  CCondVar(const CCondVar&) = delete;
  CCondVar& operator=(const CCondVar&) = delete;

  void NotifyOne() { m_Cond.notify_one(); }
  void NotifyAll() { m_Cond.notify_all(); }

  template <typename M>
  void Wait(M& mutex) REQUIRES(mutex) {
    Adopted<M> lock(mutex);
    m_Cond.wait(lock.m_Lock);
  }
  // The timed waits return false when the time ran out before a
  // notification. Every wait may also return without one (spuriously):
  // callers wait in a loop on their condition.
  template <typename M, typename Clock, typename Duration>
  bool WaitUntil(M& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
    Adopted<M> lock(mutex);
    return m_Cond.wait_until(lock.m_Lock, deadline) == std::cv_status::no_timeout;
  }
  template <typename M, typename Rep, typename Period>
  bool WaitFor(M& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    Adopted<M> lock(mutex);
    return m_Cond.wait_for(lock.m_Lock, timeout) == std::cv_status::no_timeout;
  }
  // Waits until done() holds or the time runs out; returns done() then.
  template <typename M, typename Rep, typename Period, typename Predicate>
  bool WaitFor(M& mutex, const std::chrono::duration<Rep, Period>& timeout, Predicate done) REQUIRES(mutex) {
    Adopted<M> lock(mutex);
    return m_Cond.wait_for(lock.m_Lock, timeout, done);
  }

 private:
  // The standard lock over the caller's already held mutex, for the length of
  // one wait; it leaves the mutex held when it goes.
  template <typename M>
  struct Adopted {
    explicit Adopted(M& mutex) : m_Lock(mutex.m_Mutex, std::adopt_lock) {}
    ~Adopted() { m_Lock.release(); }
    std::unique_lock<decltype(M::m_Mutex)> m_Lock;
  };

  // The _any variant so that one class serves both kinds of lock.
  std::condition_variable_any m_Cond;
};
