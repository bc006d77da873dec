#include "platform/Event.h"

#include <chrono>

void CEvent::Set() {
  CMutexLock lock(m_Lock);
  m_bSignalled = true;
  if (m_bManualReset)
    m_Cond.NotifyAll();
  else
    m_Cond.NotifyOne();
}

void CEvent::Reset() {
  CMutexLock lock(m_Lock);
  m_bSignalled = false;
}

bool CEvent::IsSet() const {
  CMutexLock lock(m_Lock);
  return m_bSignalled;
}

DWORD CEvent::Wait(DWORD ms) {
  CMutexLock lock(m_Lock);
  if (ms == INFINITE) {
    while (!m_bSignalled) m_Cond.Wait(m_Lock);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_bSignalled) {
      if (!m_Cond.WaitUntil(m_Lock, deadline) && !m_bSignalled) return WAIT_TIMEOUT;
    }
  }
  if (!m_bManualReset) m_bSignalled = false;
  return WAIT_OBJECT_0;
}
