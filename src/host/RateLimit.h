// CRateLimit: when a log line about something that a peer can repeat at will
// (a dropped datagram, a refused connection) is due. The first occurrence is
// reported at once; later ones are only counted until the interval has passed
// since the last report, and the next report says how many there were. A
// flood then costs one line per interval instead of one per datagram, and
// the count still tells how big it was.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/Mutex.h"

class CRateLimit {
 public:
  typedef std::chrono::steady_clock Clock;
  enum : uint32_t { DEFAULT_INTERVAL_MS = 10000 };

  explicit CRateLimit(uint32_t intervalMs = DEFAULT_INTERVAL_MS);
  CRateLimit(const CRateLimit&) = delete;
  CRateLimit& operator=(const CRateLimit&) = delete;

  // Counts one occurrence at now. True when a line is due; count then
  // receives the occurrences since the last line, this one included. Any
  // thread.
  bool Due(uint64_t& count) { return Due(Clock::now(), count); }
  bool Due(Clock::time_point now, uint64_t& count);

 private:
  const Clock::duration m_Interval;
  CMutex m_Lock;
  Clock::time_point m_LastLine GUARDED_BY(m_Lock);
  uint64_t m_uiCount GUARDED_BY(m_Lock) = 0;    // Since the last line.
  bool m_bReported GUARDED_BY(m_Lock) = false;  // A line was written.
};
