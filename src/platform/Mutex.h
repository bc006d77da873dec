// The service's locks: the standard library's mutexes, annotated for clang's
// thread-safety analysis, and the scoped holders that take and give them back.
// Every lock of the service is one of these, so that the analysis sees each
// acquisition. Condition variables wait on them through CCondVar
// (CRecursiveCondVar).
#pragma once

#include <mutex>

#include "platform/ThreadAnnotations.h"

template <typename M>
class CBasicCondVar;

// A standard mutex (Std) as a lock the analysis knows.
template <typename Std>
class CAPABILITY("mutex") CBasicMutex {
 public:
  CBasicMutex() = default;
  CBasicMutex(const CBasicMutex&) = delete;
  CBasicMutex& operator=(const CBasicMutex&) = delete;

  void Lock() ACQUIRE() { m_Mutex.lock(); }
  void Unlock() RELEASE() { m_Mutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return m_Mutex.try_lock(); }

 private:
  template <typename M>
  friend class CBasicCondVar;
  Std m_Mutex;
};

typedef CBasicMutex<std::mutex> CMutex;
// A lock the thread that holds it may take again; it is free once every
// acquisition is given back. Used where a callback re-enters its owner.
typedef CBasicMutex<std::recursive_mutex> CRecursiveMutex;

// Holds a CMutex or CRecursiveMutex from construction to the end of the scope.
template <typename M>
class SCOPED_CAPABILITY CMutexLock {
 public:
  explicit CMutexLock(M& mutex) ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
  ~CMutexLock() RELEASE() { m_Mutex.Unlock(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

 private:
  M& m_Mutex;
};

// Like CMutexLock, but the scope may give the lock back early (Unlock) and
// take it again (Lock); the destructor gives it back if it is held then.
template <typename M>
class SCOPED_CAPABILITY CUniqueLock {
 public:
  explicit CUniqueLock(M& mutex) ACQUIRE(mutex) : m_Mutex(mutex) {
    m_Mutex.Lock();
    m_bOwns = true;
  }
  ~CUniqueLock() RELEASE() {
    if (m_bOwns) m_Mutex.Unlock();
  }
  CUniqueLock(const CUniqueLock&) = delete;
  CUniqueLock& operator=(const CUniqueLock&) = delete;

  void Lock() ACQUIRE() {
    m_Mutex.Lock();
    m_bOwns = true;
  }
  void Unlock() RELEASE() {
    m_bOwns = false;
    m_Mutex.Unlock();
  }

 private:
  M& m_Mutex;
  bool m_bOwns = false;
};
