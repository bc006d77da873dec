#include "platform/Event.h"

#include <boost/chrono.hpp>

void CEvent::Set() {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  m_bSignalled = true;
  if (m_bManualReset)
    m_Cond.notify_all();
  else
    m_Cond.notify_one();
}

void CEvent::Reset() {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  m_bSignalled = false;
}

bool CEvent::IsSet() const {
  boost::lock_guard<boost::mutex> lock(m_Lock);
  return m_bSignalled;
}

DWORD CEvent::Wait(DWORD ms) {
  boost::unique_lock<boost::mutex> lock(m_Lock);
  if (ms == INFINITE) {
    while (!m_bSignalled) m_Cond.wait(lock);
  } else {
    const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(ms);
    while (!m_bSignalled) {
      if (m_Cond.wait_until(lock, deadline) == boost::cv_status::timeout && !m_bSignalled) return WAIT_TIMEOUT;
    }
  }
  if (!m_bManualReset) m_bSignalled = false;
  return WAIT_OBJECT_0;
}
