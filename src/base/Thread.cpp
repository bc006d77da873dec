#include "base/Thread.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

IThread::IThread() = default;

// A worker that still runs while its object is destroyed would go on using
// members that are already gone. Debug builds stop the process at once, so
// that the owner that forgot Stop is found where it went wrong. Release
// builds say so and then do what the owner should have done: ask the worker
// to stop and join it. That may wait for a worker blocked elsewhere, but a
// hang shows where it stands, while a detached worker would corrupt memory
// far from the cause.
IThread::~IThread() {
  CMutexLock startLock(m_StartLock);
  if (!m_pThread || !m_pThread->joinable()) return;
  const bool self = m_pThread->get_id() == std::this_thread::get_id();
  if (!m_bWorkerEnded.load() || self) {
    std::fprintf(stderr, "IThread: object destroyed while its worker thread runs; Stop was not called\n");
    std::fflush(stderr);
#ifndef NDEBUG
    std::abort();
#endif
    if (self) {
      m_pThread->detach();
      return;
    }
    CMutexLock lock(m_Lock);
    m_bStopRequested = true;
    m_StopCond.NotifyAll();
  }
  m_pThread->join();
}

void IThread::RunWorker(uint32_t uiArg1, uint32_t uiArg2) {
  Run(uiArg1, uiArg2);
  // Start waits without limit; a Run that failed before it signalled must
  // still let it go.
  {
    CMutexLock lock(m_Lock);
    if (!m_bStartSignalled) {
      m_bStartSignalled = true;
      m_Started.NotifyAll();
    }
  }
  m_bWorkerEnded = true;
}

int IThread::Start(uint32_t uiArg1, uint32_t uiArg2) {
  CMutexLock startLock(m_StartLock);
  // The previous worker is joined before m_Lock is taken: a worker that is
  // still finishing may need m_Lock on its way out.
  if (m_pThread) {
    if (m_pThread->joinable()) m_pThread->join();
    m_pThread.reset();
  }
  CMutexLock lock(m_Lock);
  m_bStartSignalled = false;
  m_bWorkerEnded = false;
  try {
    m_pThread.reset(new std::thread(CCommon_ThreadAdapter(this, uiArg1, uiArg2)));
  } catch (const std::system_error&) {
    m_pThread.reset();
  } catch (const std::bad_alloc&) {
    m_pThread.reset();
  }
  if (!m_pThread) {
    m_bWorkerEnded = true;
    return -1;
  }
  while (!m_bStartSignalled) m_Started.Wait(m_Lock);
  return 0;
}

void IThread::SignalStarted() {
  CMutexLock lock(m_Lock);
  m_bStartSignalled = true;
  m_Started.NotifyAll();
}

void IThread::WaitForStop(DWORD ms) {
  if (ms == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!m_bStopRequested.load()) {
    if (!m_StopCond.WaitUntil(m_Lock, deadline)) return;
  }
}

void IThread::Stop() {
  CMutexLock startLock(m_StartLock);
  if (!m_pThread) {
    m_bStopRequested = false;
    return;
  }
  {
    CMutexLock lock(m_Lock);
    m_bStopRequested = true;
    m_StopCond.NotifyAll();
  }
  if (m_pThread->joinable()) m_pThread->join();
  m_pThread.reset();
  m_bStopRequested = false;
}
