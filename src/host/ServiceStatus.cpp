#include "host/ServiceStatus.h"

#include "platform/ServiceNotify.h"

CServiceStatus::CServiceStatus(TextFunction text, uint32_t intervalMs)
    : m_Text(std::move(text)), m_Interval(intervalMs) {}

CServiceStatus::~CServiceStatus() { Stop(); }

void CServiceStatus::Start() {
  if (m_Thread.joinable() || !platform::HasServiceManager()) return;
  {
    std::lock_guard<std::mutex> g(m_Lock);
    m_bStop = false;
    m_bChanged = true;
  }
  m_Thread = std::thread(&CServiceStatus::Run, this);
}

void CServiceStatus::Stop() {
  if (!m_Thread.joinable()) return;
  {
    std::lock_guard<std::mutex> g(m_Lock);
    m_bStop = true;
  }
  m_Wake.notify_all();
  m_Thread.join();
}

void CServiceStatus::Changed() {
  {
    std::lock_guard<std::mutex> g(m_Lock);
    m_bChanged = true;
  }
  m_Wake.notify_all();
}

void CServiceStatus::Run() {
  std::string sent;
  std::unique_lock<std::mutex> lock(m_Lock);
  for (;;) {
    m_Wake.wait(lock, [this] { return m_bChanged || m_bStop; });
    if (m_bStop) return;
    m_bChanged = false;
    lock.unlock();
    const std::string text = m_Text();
    if (text != sent) {
      platform::NotifyServiceManager(("STATUS=" + text).c_str());
      sent = text;
    }
    lock.lock();
    // The pause keeps one line per interval; changes meanwhile are sent
    // together after it.
    m_Wake.wait_for(lock, m_Interval, [this] { return m_bStop; });
  }
}
