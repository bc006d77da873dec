#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/CipherKey.h"
#include "serialize/ProductKeyData.h"

namespace {

std::vector<uint8_t> Content(const CArchiveBuffer& ar) {
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  return std::vector<uint8_t>(p, p + n);
}

uint32_t IdWord(const CArchiveBuffer& ar) {
  std::vector<uint8_t> c = Content(ar);
  return c[0] | (c[1] << 8) | (c[2] << 16) | (static_cast<uint32_t>(c[3]) << 24);
}

// A storing archive with id 0x0123 and `bodyLength` body bytes 1, 2, 3, ...
void Fill(CArchiveBuffer& ar, uint32_t bodyLength) {
  ASSERT_TRUE(ar.Write(uint32_t(0x0123)));
  for (uint32_t i = 0; i < bodyLength; ++i) ASSERT_TRUE(ar.Write(static_cast<unsigned char>(i + 1)));
}

TEST(ArchiveCipher, OnlyAnIdWordGetsTheFlagAndNoPadding) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  Fill(ar, 0);
  ASSERT_TRUE(ar.Encrypt(0, 0));
  EXPECT_EQ(Content(ar).size(), 4u);
  EXPECT_EQ(IdWord(ar), 0x8123u);
  EXPECT_TRUE(ar.IsEncrypted());
  ASSERT_TRUE(ar.Decrypt(0, 0));
  EXPECT_EQ(IdWord(ar), 0x0123u);
  EXPECT_FALSE(ar.IsEncrypted());
}

TEST(ArchiveCipher, AShortBodyIsZeroPaddedEncipheredAsEcbAndComesBackWithItsPadding) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  Fill(ar, 5);
  ASSERT_TRUE(ar.Encrypt(0, 0));
  std::vector<uint8_t> enciphered = Content(ar);
  ASSERT_EQ(enciphered.size(), 12u);

  // The body is one ECB block under the default key; the id word is clear.
  uint8_t block[8] = {1, 2, 3, 4, 5, 0, 0, 0};
  CBlowfishCipher bf;
  ASSERT_EQ(bf.SetKey(g_DefaultCipherKey, 56), 0);
  ASSERT_EQ(bf.Encrypt(block, 8, "ecb", nullptr), 0);
  EXPECT_EQ(std::vector<uint8_t>(enciphered.begin() + 4, enciphered.end()), std::vector<uint8_t>(block, block + 8));
  EXPECT_EQ(IdWord(ar), 0x8123u);

  ASSERT_TRUE(ar.Decrypt(0, 0));
  EXPECT_EQ(Content(ar), (std::vector<uint8_t>{0x23, 0x01, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST(ArchiveCipher, AFileDecipheredAndEncipheredAgainIsByteIdentical) {
  testenv::ScratchDir dir;
  CArchiveBuffer out(CArchiveBuffer::STORING);
  Fill(out, 8192 + 3);  // the padding has to grow the buffer
  ASSERT_TRUE(out.Write(std::string("text after the bytes")));
  ASSERT_TRUE(out.Encrypt(0, 0));
  ASSERT_TRUE(out.StoreToFile(dir.File("a.bin").c_str()));
  std::string original = testenv::ReadFile(dir.File("a.bin"));
  EXPECT_EQ((original.size() - 4) % 8, 0u);

  CArchiveBuffer in(CArchiveBuffer::LOADING);
  ASSERT_TRUE(in.LoadFromFile(dir.File("a.bin").c_str()));
  ASSERT_TRUE(in.IsEncrypted());
  ASSERT_TRUE(in.Decrypt(0, 0));
  EXPECT_FALSE(in.IsEncrypted());
  ASSERT_TRUE(in.Encrypt(0, 0));
  ASSERT_TRUE(in.StoreToFile(dir.File("b.bin").c_str()));
  EXPECT_EQ(testenv::ReadFile(dir.File("b.bin")), original);

  // A received frame is deciphered after the cursor went back to the start.
  CArchiveBuffer rx(CArchiveBuffer::LOADING);
  uint8_t* p;
  uint32_t n;
  ASSERT_TRUE(rx.AllocateData(static_cast<uint32_t>(original.size())));
  rx.GetContent(p, n);
  std::memcpy(p, original.data(), original.size());
  rx.Rewind(CArchiveBuffer::LOADING);
  ASSERT_TRUE(rx.Decrypt(0, 0));
  uint32_t id;
  ASSERT_TRUE(rx.Read(id));
  EXPECT_EQ(id, 0x0123u);
  unsigned char first;
  ASSERT_TRUE(rx.Read(first));
  EXPECT_EQ(first, 1);
}

TEST(ArchiveCipher, ABodyThatIsNotWholeBlocksFailsToDecipherAndKeepsTheFlag) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  std::vector<uint8_t> bytes(4 + 12, 0xAB);
  bytes[0] = 0x23;
  bytes[1] = 0x81;
  bytes[2] = bytes[3] = 0;
  uint8_t* p;
  uint32_t n;
  ASSERT_TRUE(ar.AllocateData(static_cast<uint32_t>(bytes.size())));
  ar.GetContent(p, n);
  std::memcpy(p, bytes.data(), bytes.size());
  EXPECT_FALSE(ar.Decrypt(0, 0));
  EXPECT_TRUE(ar.IsEncrypted());
  EXPECT_EQ(Content(ar), bytes);
}

TEST(ArchiveCipher, UnknownKeysAndArchivesWithoutAnIdWordFail) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  Fill(ar, 8);
  EXPECT_FALSE(ar.Encrypt(16, 0));
  EXPECT_FALSE(ar.Decrypt(99, 0));
  EXPECT_FALSE(ar.IsEncrypted());

  CArchiveBuffer empty(CArchiveBuffer::STORING);
  ASSERT_TRUE(empty.Write(static_cast<unsigned char>(1)));
  EXPECT_FALSE(empty.Encrypt(0, 0));
  EXPECT_FALSE(empty.Decrypt(0, 0));
}

TEST(ArchiveCipher, BrandKeysEncipherDifferentlyFromTheDefaultKey) {
  CArchiveBuffer a(CArchiveBuffer::STORING), b(CArchiveBuffer::STORING);
  Fill(a, 16);
  Fill(b, 16);
  ASSERT_TRUE(a.Encrypt(0, 0));
  ASSERT_TRUE(b.Encrypt(3, 0));
  EXPECT_NE(Content(a), Content(b));
  ASSERT_TRUE(b.Decrypt(3, 0));
  CArchiveBuffer plain(CArchiveBuffer::STORING);
  Fill(plain, 16);
  EXPECT_EQ(Content(b), Content(plain));
}

TEST(CipherKey, SelectorsNameTheDefaultKeyOrABrandKeyAndNothingElse) {
  EXPECT_EQ(GetCipherKey(0, 0), g_DefaultCipherKey);
  for (uint32_t s = 1; s <= 15; ++s) {
    ASSERT_NE(GetCipherKey(s, 0), nullptr) << s;
    EXPECT_EQ(GetCipherKey(s, 0), g_BrandRecords[s - 1].dataBlock) << s;
    EXPECT_EQ(g_BrandRecords[s - 1].selector, s);
  }
  EXPECT_EQ(GetCipherKey(16, 0), nullptr);
  EXPECT_EQ(GetCipherKey(99, 0), nullptr);
  EXPECT_EQ(GetCipherKey(16, 7), nullptr);
  EXPECT_STREQ(g_BrandRecords[15].keyName, "Max ID");
}

TEST(CipherKey, AModifierDerivesAKeyFromTheSelectedBlockAndKeepsItInOneSlot) {
  const uint8_t* block = g_BrandRecords[1].dataBlock;  // selector 2
  const uint8_t* derived = GetCipherKey(2, 5);
  ASSERT_NE(derived, nullptr);
  for (int w = 0; w < 14; ++w) {
    uint32_t base = block[4 * w] | (block[4 * w + 1] << 8) | (block[4 * w + 2] << 16) |
                    (static_cast<uint32_t>(block[4 * w + 3]) << 24);
    uint32_t got = derived[4 * w] | (derived[4 * w + 1] << 8) | (derived[4 * w + 2] << 16) |
                   (static_cast<uint32_t>(derived[4 * w + 3]) << 24);
    EXPECT_EQ(got, base + 5u) << "word " << w;
  }
  std::vector<uint8_t> fromTwo(derived, derived + 56);
  // The same modifier hands back the slot as it stands, whatever the selector.
  EXPECT_EQ(GetCipherKey(7, 5), derived);
  EXPECT_EQ(std::vector<uint8_t>(derived, derived + 56), fromTwo);
  // Another modifier rebuilds the slot from the block it names; additions wrap.
  const uint8_t* wrapped = GetCipherKey(0, 0xFFFFFFFFu);
  EXPECT_EQ(wrapped, derived);
  uint32_t w0 = g_DefaultCipherKey[0] | (g_DefaultCipherKey[1] << 8) | (g_DefaultCipherKey[2] << 16) |
                (static_cast<uint32_t>(g_DefaultCipherKey[3]) << 24);
  uint32_t got0 = wrapped[0] | (wrapped[1] << 8) | (wrapped[2] << 16) | (static_cast<uint32_t>(wrapped[3]) << 24);
  EXPECT_EQ(got0, w0 - 1u);
  // Modifier 0 never touches the slot.
  EXPECT_EQ(GetCipherKey(0, 0), g_DefaultCipherKey);
}

}  // namespace
