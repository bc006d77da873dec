// CCondVar: a condition variable that waits on a CMutex the caller holds
// (CRecursiveCondVar: on a CRecursiveMutex). Each wait gives the lock back
// while it sleeps and holds it again when it returns, as the standard one
// does; the analysis checks that the caller holds the lock it names. On a recursive lock held more than once,
// a wait gives back one acquisition only, so the other threads stay locked
// out: wait only where it is held once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

template <typename M>
class CBasicCondVar {
 public:
  CBasicCondVar() = default;
  CBasicCondVar(const CBasicCondVar&) = delete;
  CBasicCondVar& operator=(const CBasicCondVar&) = delete;

  void NotifyOne() { m_Cond.notify_one(); }
  void NotifyAll() { m_Cond.notify_all(); }

  void Wait(M& mutex) REQUIRES(mutex) {
    Adopted lock(mutex);
    m_Cond.wait(lock.m_Lock);
  }
  // The timed waits return false when the time ran out before a
  // notification. Every wait may also return without one (spuriously):
  // callers wait in a loop on their condition.
  template <typename Clock, typename Duration>
  bool WaitUntil(M& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
    Adopted lock(mutex);
    return m_Cond.wait_until(lock.m_Lock, deadline) == std::cv_status::no_timeout;
  }
  template <typename Rep, typename Period>
  bool WaitFor(M& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    Adopted lock(mutex);
    return m_Cond.wait_for(lock.m_Lock, timeout) == std::cv_status::no_timeout;
  }
  // Waits until done() holds or the time runs out; returns done() then.
  template <typename Rep, typename Period, typename Predicate>
  bool WaitFor(M& mutex, const std::chrono::duration<Rep, Period>& timeout, Predicate done) REQUIRES(mutex) {
    Adopted lock(mutex);
    return m_Cond.wait_for(lock.m_Lock, timeout, done);
  }

 private:
  // The standard lock over the caller's already held mutex, for the length of
  // one wait; it leaves the mutex held when it goes.
  struct Adopted {
    explicit Adopted(M& mutex) : m_Lock(mutex.m_Mutex, std::adopt_lock) {}
    ~Adopted() { m_Lock.release(); }
    std::unique_lock<decltype(M::m_Mutex)> m_Lock;
  };

  // The plain mutex gets the standard condition variable; only the
  // recursive one needs the heavier _any variant, which carries a lock of
  // its own into every wait and notification.
  typename std::conditional<std::is_same<M, CMutex>::value, std::condition_variable,
                            std::condition_variable_any>::type m_Cond;
};

typedef CBasicCondVar<CMutex> CCondVar;
typedef CBasicCondVar<CRecursiveMutex> CRecursiveCondVar;
