// The base of every worker thread of the service, and the callable that
// carries an owner and its two start arguments into the new thread.
//
// A worker is started with a handshake: Start returns only after the worker's
// Run has called SignalStarted (or has returned), so whatever Run sets up
// before that call is visible to Start's caller. A worker sleeps in
// WaitForStop, which Stop cuts short; Stop then joins. Workers blocked in a
// socket call are ended by their owner closing the socket, not by the stop
// flag.
//
// Lock order: m_StartLock before m_Lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "platform/WinTypes.h"

class IThread {
 public:
  IThread();
  // Owners call Stop (or their own shutdown, which calls it) before the
  // object is destroyed: by then the derived parts that Run uses are gone.
  // A worker that has ended is joined here; one that still runs is a bug of
  // the owner (see the .cpp for what happens then).
  virtual ~IThread();
  IThread(const IThread&) = delete;
  IThread& operator=(const IThread&) = delete;

  // The worker's body. Should call SignalStarted once, early; a Run that
  // returns without having called it releases Start on its way out.
  virtual void Run(uint32_t uiArg1, uint32_t uiArg2) = 0;

  // 0 when a worker thread was created, -1 when not. A previous worker that
  // has ended is joined and replaced.
  int Start(uint32_t uiArg1 = 0, uint32_t uiArg2 = 0);
  // Asks the worker to stop and joins it. Never call from the worker itself.
  void Stop();
  bool IsStopRequested() const { return m_bStopRequested.load(); }
  void SignalStarted();
  // Sleeps up to ms milliseconds on the stop condition; returns early when
  // Stop signals; 0 returns at once.
  void WaitForStop(DWORD ms) REQUIRES(m_Lock);
  CMutex& GetLock() RETURN_CAPABILITY(m_Lock) { return m_Lock; }

 private:
  friend class CCommon_ThreadAdapter;
  // The thread body around Run: releases Start if Run did not, and marks
  // the worker as ended.
  void RunWorker(uint32_t uiArg1, uint32_t uiArg2);

  CMutex m_Lock;
  CCondVar m_Started;
  CCondVar m_StopCond;
  // Makes concurrent Start and Stop calls take turns; taken before m_Lock.
  CMutex m_StartLock ACQUIRED_BEFORE(m_Lock);
  std::unique_ptr<std::thread> m_pThread GUARDED_BY(m_StartLock);
  bool m_bStartSignalled GUARDED_BY(m_Lock) = false;
  // Set by the worker as its very last step; read by the destructor.
  std::atomic<bool> m_bWorkerEnded{true};
  // Written under m_Lock; read with or without it.
  std::atomic<bool> m_bStopRequested{false};
};

// Copyable callable that runs owner->Run (argument 1, argument 2). The thread
// object keeps its own copy.
class CCommon_ThreadAdapter {
 public:
  CCommon_ThreadAdapter(IThread* pOwner, uint32_t uiArg1, uint32_t uiArg2)
      : m_pOwner(pOwner), m_uiArg1(uiArg1), m_uiArg2(uiArg2) {}
  virtual ~CCommon_ThreadAdapter() = default;
  CCommon_ThreadAdapter(const CCommon_ThreadAdapter&) = default;
  CCommon_ThreadAdapter& operator=(const CCommon_ThreadAdapter&) = default;

  void operator()() const { m_pOwner->RunWorker(m_uiArg1, m_uiArg2); }

 private:
  IThread* m_pOwner;  // Not owned.
  uint32_t m_uiArg1;
  uint32_t m_uiArg2;
};
