#include "host/ServiceStatus.h"

#include "platform/ServiceNotify.h"

CServiceStatus::CServiceStatus(TextFunction text, uint32_t intervalMs)
    : m_Text(std::move(text)), m_Interval(intervalMs) {}

CServiceStatus::~CServiceStatus() { Stop(); }

void CServiceStatus::Start() {
  if (m_Thread.joinable() || !platform::HasServiceManager()) return;
  {
    CMutexLock g(m_Lock);
    m_bStop = false;
    m_bChanged = true;
  }
  m_Thread = std::thread(&CServiceStatus::Run, this);
}

void CServiceStatus::Stop() {
  if (!m_Thread.joinable()) return;
  {
    CMutexLock g(m_Lock);
    m_bStop = true;
  }
  m_Wake.NotifyAll();
  m_Thread.join();
}

void CServiceStatus::Changed() {
  {
    CMutexLock g(m_Lock);
    m_bChanged = true;
  }
  m_Wake.NotifyAll();
}

void CServiceStatus::Run() {
  std::string sent;
  CUniqueLock lock(m_Lock);
  for (;;) {
    while (!m_bChanged && !m_bStop) m_Wake.Wait(m_Lock);
    if (m_bStop) return;
    m_bChanged = false;
    lock.Unlock();
    const std::string text = m_Text();
    if (text != sent) {
      platform::NotifyServiceManager(("STATUS=" + text).c_str());
      sent = text;
    }
    lock.Lock();
    // The pause keeps one line per interval; changes meanwhile are sent
    // together after it.
    const auto pauseEnd = std::chrono::steady_clock::now() + m_Interval;
    while (!m_bStop) {
      if (!m_Wake.WaitUntil(m_Lock, pauseEnd)) break;
    }
  }
}
