#include "serialize/CipherKey.h"

#include <cstring>

#include "platform/Mutex.h"
#include "serialize/ProductKeyData.h"

namespace {

const uint32_t kDerivedSize = 64;

struct DerivedKeySlot {
  CMutex lock;
  uint32_t modifier = 0;  // 0: never built (modifier 0 never uses the slot)
  uint8_t key[kDerivedSize] = {0};
};

DerivedKeySlot& Slot() {
  static DerivedKeySlot slot;
  return slot;
}

// The block a selector names and how many of its bytes exist.
const uint8_t* SelectBlock(uint32_t selector, uint32_t& size) {
  if (selector == 0) {
    size = DEFAULT_CIPHER_KEY_SIZE;
    return g_DefaultCipherKey;
  }
  for (const BrandRecord* r = g_BrandRecords; r->selector != BRAND_TERMINATOR_SELECTOR; ++r) {
    if (r->selector == selector) {
      size = BRAND_DATA_BLOCK_SIZE;
      return r->dataBlock;
    }
  }
  return nullptr;
}

}  // namespace

const uint8_t* GetCipherKey(uint32_t selector, uint32_t modifier) {
  uint32_t size = 0;
  const uint8_t* block = SelectBlock(selector, size);
  if (block == nullptr) return nullptr;
  if (modifier == 0) return block;

  // The service itself only ever passes modifier 0; the lock makes the slot
  // safe for callers that derive keys from several threads. Two callers with
  // different modifiers still share one slot, as designed.
  DerivedKeySlot& slot = Slot();
  CMutexLock guard(slot.lock);
  if (slot.modifier == modifier) return slot.key;
  // The default key is only 56 bytes long: the last two words of its copy
  // start from zero. They fall outside the 56 key bytes either way.
  std::memset(slot.key, 0, kDerivedSize);
  std::memcpy(slot.key, block, size < kDerivedSize ? size : kDerivedSize);
  for (uint32_t w = 0; w < kDerivedSize / 4; ++w) {
    uint8_t* p = slot.key + 4 * w;
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    v += modifier;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  slot.modifier = modifier;
  return slot.key;
}
