#include "host/RateLimit.h"

#include "platform/Mutex.h"

CRateLimit::CRateLimit(uint32_t intervalMs) : m_Interval(std::chrono::milliseconds(intervalMs)) {}

bool CRateLimit::Due(Clock::time_point now, uint64_t& count) {
  CMutexLock lock(m_Lock);
  ++m_uiCount;
  if (m_bReported && now - m_LastLine < m_Interval) return false;
  m_bReported = true;
  m_LastLine = now;
  count = m_uiCount;
  m_uiCount = 0;
  return true;
}
