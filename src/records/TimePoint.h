// Wall-clock time point of the live VCI table and of the address bindings:
// seconds since 1970-01-01 UTC and nanoseconds. "Now" comes through a
// replaceable clock so that timeout sweeps can be driven without waiting.
#pragma once

#include <cstdint>
#include <functional>

struct TimePoint {
  int64_t m_iSeconds = 0;
  int64_t m_iNanoseconds = 0;

  // Milliseconds from this point to `later` (negative when `later` is earlier).
  int64_t MillisecondsUntil(const TimePoint& later) const {
    return ((later.m_iSeconds * 1000000000LL + later.m_iNanoseconds) -
            (m_iSeconds * 1000000000LL + m_iNanoseconds)) / 1000000LL;
  }
  TimePoint PlusMilliseconds(int64_t ms) const;
  bool operator==(const TimePoint& o) const {
    return m_iSeconds == o.m_iSeconds && m_iNanoseconds == o.m_iNanoseconds;
  }

  // The current time from the installed clock (the system clock by default).
  static TimePoint Now();
  // Installs a clock; an empty function restores the system clock.
  static void SetClock(std::function<TimePoint()> clock);
};
