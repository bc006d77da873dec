#include "transport/Thread.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread_time.hpp>

IThread::IThread() = default;

// The worker is not stopped here (see the header); an object destroyed with
// a joinable worker still running is a bug of its owner, and detaching keeps
// boost from terminating the process over it.
IThread::~IThread() {
  if (m_pThread && m_pThread->joinable()) m_pThread->detach();
}

int IThread::Start(uint32_t uiArg1, uint32_t uiArg2) {
  boost::lock_guard<boost::mutex> startLock(m_StartLock);
  // The previous worker is joined before m_Lock is taken: a worker that is
  // still finishing may need m_Lock on its way out.
  if (m_pThread) {
    if (m_pThread->joinable()) m_pThread->join();
    m_pThread.reset();
  }
  boost::unique_lock<boost::mutex> lock(m_Lock);
  m_bStartSignalled = false;
  try {
    m_pThread.reset(new boost::thread(CCommon_ThreadAdapter(this, uiArg1, uiArg2)));
  } catch (const boost::thread_resource_error&) {
    m_pThread.reset();
    return -1;
  } catch (const std::bad_alloc&) {
    m_pThread.reset();
    return -1;
  }
  while (!m_bStartSignalled) m_Started.wait(lock);
  return m_pThread ? 0 : -1;
}

void IThread::SignalStarted() {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  m_bStartSignalled = true;
  m_Started.notify_all();
}

void IThread::WaitForStop(DWORD ms, boost::unique_lock<boost::mutex>& lock) {
  if (ms == 0) return;
  const boost::system_time deadline = boost::get_system_time() + boost::posix_time::seconds(ms / 1000) +
                                      boost::posix_time::milliseconds(ms % 1000);
  while (!m_bStopRequested.load()) {
    if (!m_StopCond.timed_wait(lock, deadline)) return;
  }
}

void IThread::Stop() {
  boost::lock_guard<boost::mutex> startLock(m_StartLock);
  if (!m_pThread) {
    m_bStopRequested = false;
    return;
  }
  {
    boost::lock_guard<boost::mutex> lock(m_Lock);
    m_bStopRequested = true;
    m_StopCond.notify_all();
  }
  if (m_pThread->joinable()) m_pThread->join();
  m_pThread.reset();
  m_bStopRequested = false;
}
