// Guard for the element counts that records read from the wire. A count is
// only trusted when the bytes left could hold that many elements of the
// smallest size the element can have, so a forged count fails at once
// instead of making the reader allocate or loop for elements that never
// arrived.
#pragma once

#include <cstdint>

#include "serialize/ArchiveBuffer.h"

namespace record_count {

// Smallest serialised size of a counted string (its count word alone) and of
// a nested record (its object id word alone).
const uint32_t MIN_STRING_SIZE = 4;
const uint32_t MIN_RECORD_SIZE = 4;

inline bool Plausible(const CArchiveBuffer& ar, uint32_t count, uint32_t minElementSize) {
  return static_cast<uint64_t>(count) * minElementSize <= ar.GetRemaining();
}

// Reads a count and checks it as above.
inline bool Read(CArchiveBuffer& ar, uint32_t& count, uint32_t minElementSize) {
  uint32_t n;
  if (!ar.Read(n) || !Plausible(ar, n, minElementSize)) return false;
  count = n;
  return true;
}

}  // namespace record_count
