#include "records/TimePoint.h"

#include "platform/Kernel.h"
#include "platform/Mutex.h"

namespace {
CMutex g_ClockLock;
std::function<TimePoint()> g_Clock;
}  // namespace

TimePoint TimePoint::PlusMilliseconds(int64_t ms) const {
  int64_t total = m_iNanoseconds + (ms % 1000) * 1000000LL;
  TimePoint t;
  t.m_iSeconds = m_iSeconds + ms / 1000 + total / 1000000000LL;
  t.m_iNanoseconds = total % 1000000000LL;
  if (t.m_iNanoseconds < 0) {
    t.m_iNanoseconds += 1000000000LL;
    --t.m_iSeconds;
  }
  return t;
}

TimePoint TimePoint::Now() {
  {
    CMutexLock lock(g_ClockLock);
    if (g_Clock) return g_Clock();
  }
  TimePoint t;
  int64_t seconds = 0, nanoseconds = 0;
  GetRealTime(seconds, nanoseconds);
  t.m_iSeconds = seconds;
  t.m_iNanoseconds = nanoseconds;
  return t;
}

void TimePoint::SetClock(std::function<TimePoint()> clock) {
  CMutexLock lock(g_ClockLock);
  g_Clock = std::move(clock);
}
