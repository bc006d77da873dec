// Guard for the element counts that records read from the wire. A count is
// only trusted when the bytes left could hold that many elements of the
// smallest size the element can have, so a forged count fails at once
// instead of making the reader allocate or loop for elements that never
// arrived; and when the archive's memory allowance still covers what that
// many elements hold in memory, so that many tiny elements (an 8-byte
// application entry stands for some 500 bytes) cannot make a few megabytes
// of input hold hundreds.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "serialize/ArchiveBuffer.h"

namespace record_count {

// Smallest serialised size of a counted string (its count word alone) and of
// a nested record (its object id word alone).
const uint32_t MIN_STRING_SIZE = 4;
const uint32_t MIN_RECORD_SIZE = 4;

// What one element of a map or of a vector holds in memory besides what
// its own nested counts charge: the value, and a map's node and allocation;
// a vector filled one element at a time may have twice the room it uses.
template <typename K, typename V>
constexpr uint32_t MapNode() {
  return static_cast<uint32_t>(sizeof(std::pair<const K, V>) + 48);
}
template <typename T>
constexpr uint32_t VectorSlot() {
  return static_cast<uint32_t>(2 * sizeof(T));
}

// Checks a count as above and charges its elements' memory to the archive.
inline bool Plausible(CArchiveBuffer& ar, uint32_t count, uint32_t minElementSize, uint32_t elementMemory) {
  return static_cast<uint64_t>(count) * minElementSize <= ar.GetRemaining() &&
         ar.ChargeMemory(static_cast<uint64_t>(count) * elementMemory);
}

// Reads a count and checks it as above.
inline bool Read(CArchiveBuffer& ar, uint32_t& count, uint32_t minElementSize, uint32_t elementMemory) {
  uint32_t n;
  if (!ar.Read(n) || !Plausible(ar, n, minElementSize, elementMemory)) return false;
  count = n;
  return true;
}

}  // namespace record_count
