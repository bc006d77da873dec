// CLogRateLimit: one log line of a kind at most once per interval, for what
// peers can repeat at will (connections dropped at a cap, registrations
// refused): the lines held back meanwhile are counted, and the next line
// that is due tells how many. Not locked: one thread uses it, or its owner
// holds a lock of its own around it.
#pragma once

#include <chrono>
#include <cstdint>

class CLogRateLimit {
 public:
  enum : uint32_t { INTERVAL_MS = 10000 };

  // True when a line is due now; heldBack then tells how many were held
  // back since the last one. False (and one more held back) otherwise.
  bool Due(uint32_t& heldBack) {
    const auto now = std::chrono::steady_clock::now();
    if (m_bWritten && now - m_Last < std::chrono::milliseconds(INTERVAL_MS)) {
      ++m_uiHeldBack;
      return false;
    }
    m_bWritten = true;
    m_Last = now;
    heldBack = m_uiHeldBack;
    m_uiHeldBack = 0;
    return true;
  }

 private:
  bool m_bWritten = false;
  std::chrono::steady_clock::time_point m_Last;
  uint32_t m_uiHeldBack = 0;
};
