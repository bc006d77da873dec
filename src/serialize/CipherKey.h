// The key provider of archive encipherment.
#pragma once

#include <cstdint>

// Returns the 56-byte key for (selector, modifier), or null.
//   selector 0: the default key, used by every encipherment of the service;
//   selector 1 to 15: the first 56 bytes of that brand record's data block;
//   16 and anything else: null.
// A non-zero modifier asks for a derived key: the first 64 bytes of the
// selected block with each of its sixteen 32-bit (little-endian) words
// increased by the modifier. The derived key lives in one process-wide slot
// that remembers the modifier that built it; a request with that same
// modifier gets the slot as it stands, whatever selector it names, and a
// request with another modifier rebuilds it (the pointer stays the same).
const uint8_t* GetCipherKey(uint32_t selector, uint32_t modifier);
