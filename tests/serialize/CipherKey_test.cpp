#include "serialize/CipherKey.h"

#include <gtest/gtest.h>

#include <vector>

#include "serialize/ProductKeyData.h"

namespace {

uint32_t Word(const uint8_t* key, int w) {
  return key[4 * w] | (key[4 * w + 1] << 8) | (key[4 * w + 2] << 16) | (static_cast<uint32_t>(key[4 * w + 3]) << 24);
}

TEST(CipherKey, SelectorsNameTheDefaultKeyOrABrandKeyAndNothingElse) {
  EXPECT_EQ(GetCipherKey(0, 0), g_DefaultCipherKey);
  for (uint32_t s = 1; s <= 15; ++s) {
    EXPECT_EQ(GetCipherKey(s, 0), g_BrandRecords[s - 1].dataBlock) << s;
    EXPECT_EQ(g_BrandRecords[s - 1].selector, s);
  }
  for (uint32_t s : {16, 99}) EXPECT_EQ(GetCipherKey(s, 0), nullptr) << s;
  EXPECT_EQ(GetCipherKey(16, 7), nullptr);
  EXPECT_STREQ(g_BrandRecords[15].keyName, "Max ID");
}

TEST(CipherKey, AModifierDerivesAKeyFromTheSelectedBlockAndKeepsItInOneSlot) {
  const uint8_t* block = g_BrandRecords[1].dataBlock;  // selector 2
  const uint8_t* derived = GetCipherKey(2, 5);
  ASSERT_NE(derived, nullptr);
  for (int w = 0; w < 14; ++w) EXPECT_EQ(Word(derived, w), Word(block, w) + 5u) << "word " << w;
  const std::vector<uint8_t> fromTwo(derived, derived + 56);
  // The same modifier hands back the slot as it stands, whatever the selector.
  EXPECT_EQ(GetCipherKey(7, 5), derived);
  EXPECT_EQ(std::vector<uint8_t>(derived, derived + 56), fromTwo);
  // Another modifier rebuilds the slot from the block it names; additions wrap.
  EXPECT_EQ(GetCipherKey(0, 0xFFFFFFFFu), derived);
  EXPECT_EQ(Word(derived, 0), Word(g_DefaultCipherKey, 0) - 1u);
  EXPECT_EQ(GetCipherKey(0, 0), g_DefaultCipherKey) << "modifier 0 never touches the slot";
}

}  // namespace
