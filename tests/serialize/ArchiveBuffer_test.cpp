#include "serialize/ArchiveBuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/ProductKeyData.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Every byte placed in the archive, wherever its cursor stands.
Bytes Data(const CArchiveBuffer& ar) {
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  return Bytes(p, p + ar.GetDataLength());
}

// A loading archive holding received bytes, cursor at the start, the way a
// receiver prepares it.
std::unique_ptr<CArchiveBuffer> Received(const Bytes& bytes, uint32_t capacity = CArchiveBuffer::DEFAULT_SIZE) {
  std::unique_ptr<CArchiveBuffer> ar(new CArchiveBuffer(CArchiveBuffer::LOADING, capacity));
  uint8_t* p;
  uint32_t n;
  EXPECT_TRUE(ar->AllocateData(static_cast<uint32_t>(bytes.size())));
  ar->GetContent(p, n);
  std::copy(bytes.begin(), bytes.end(), p);
  ar->Rewind(CArchiveBuffer::LOADING);
  return ar;
}

TEST(ArchiveBufferTest, PrimitivesAreLittleEndianWithoutPaddingAndReadBack) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_TRUE(ar.Write(uint32_t(0x11223344)) && ar.Write(int16_t(-2)) && ar.Write(true) &&
              ar.Write(std::string("abc")) && ar.Write(std::string()) && ar.Write(int32_t(-1)));
  Bytes expected = {0x44, 0x33, 0x22, 0x11, 0xFE, 0xFF, 0x01, 0x03, 0x00, 0x00, 0x00,
                    'a',  'b',  'c',  0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Data(ar), expected);

  expected[6] = 0x7F;  // any byte but 0 reads as true
  auto in = Received(expected);
  uint32_t u;
  int16_t s16;
  bool b = false;
  std::string abc, empty = "x";
  int32_t minus;
  EXPECT_TRUE(in->Read(u) && in->Read(s16) && in->Read(b) && in->Read(abc) && in->Read(empty) && in->Read(minus));
  EXPECT_EQ(u, 0x11223344u);
  EXPECT_EQ(s16, -2);
  EXPECT_TRUE(b);
  EXPECT_EQ(abc, "abc");
  EXPECT_EQ(empty, "");
  EXPECT_EQ(minus, -1);
  EXPECT_EQ(in->GetRemaining(), 0u);
  EXPECT_FALSE(in->Read(u));
}

// A read never passes the data end, however large the buffer behind it; a
// failed read leaves the cursor, but a string's count stays consumed.
TEST(ArchiveBufferTest, ReadsStopAtTheDataEndAndAStringEndsAtItsFirstZero) {
  std::string s;
  unsigned char next;
  auto cut = Received({0x04, 0, 0, 0, 'a', 0, 'b', 'c', 0x07});
  EXPECT_TRUE(cut->Read(s) && cut->Read(next));
  EXPECT_EQ(s, "a");
  EXPECT_EQ(next, 0x07);

  auto beyond = Received({0x05, 0, 0, 0, 'a', 'b'});
  EXPECT_FALSE(beyond->Read(s));
  EXPECT_EQ(beyond->GetPosition(), 4u);
  auto tiny = Received({0x01, 0});
  EXPECT_FALSE(tiny->Read(s));
  EXPECT_EQ(tiny->GetPosition(), 0u);

  auto words = Received({1, 2, 3, 4, 5, 6}, 64);
  uint32_t a, b;
  uint16_t c;
  EXPECT_TRUE(words->Read(a));
  EXPECT_FALSE(words->Read(b));
  EXPECT_EQ(words->GetPosition(), 4u);
  EXPECT_TRUE(words->Read(c));
  EXPECT_EQ(c, 0x0605);
  auto none = Received({});
  EXPECT_FALSE(none->Read(next));
}

TEST(ArchiveBufferTest, BuffersGrowByWholeIncrementsAndKeepTheirBytes) {
  CArchiveBuffer big(CArchiveBuffer::STORING);
  EXPECT_TRUE(big.WriteRaw(std::string(8193, 'x').data(), 8193));
  EXPECT_EQ(big.GetCapacity(), 16385u);
  EXPECT_EQ(big.GetReceiveSize(), 16385u);
  char x = 1;
  EXPECT_FALSE(big.WriteRaw(nullptr, 4));
  EXPECT_FALSE(big.WriteRaw(&x, 0));

  CArchiveBuffer full(CArchiveBuffer::STORING);
  EXPECT_TRUE(full.WriteFill(0xAB, 8192));
  EXPECT_EQ(full.GetCapacity(), 8192u);
  EXPECT_TRUE(full.Write('z'));
  EXPECT_EQ(full.GetCapacity(), 16384u);
  Bytes c = Data(full);
  ASSERT_EQ(c.size(), 8193u);
  EXPECT_EQ(c[0], 0xAB);
  EXPECT_EQ(c[8191], 0xAB);
  EXPECT_EQ(c[8192], 'z');

  CArchiveBuffer in(CArchiveBuffer::LOADING);
  EXPECT_TRUE(in.AllocateData(10000));
  EXPECT_GE(in.GetCapacity(), 10000u);
  EXPECT_EQ(in.GetDataLength(), 10000u);
  EXPECT_FALSE(in.AllocateData(4)) << "the cursor is no longer at the start";
}

TEST(ArchiveBufferTest, AStoringFrameCountsItsLengthSlotAndALoadingOneIsTheReceiveSize) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  ASSERT_TRUE(ar.Write(uint32_t(2034)));
  uint8_t* frame;
  uint32_t len;
  ar.GetFrame(frame, len);
  EXPECT_EQ(Bytes(frame, frame + len), (Bytes{8, 0, 0, 0, 0xF2, 0x07, 0, 0}));
  ar.Rewind(CArchiveBuffer::LOADING);
  EXPECT_EQ(ar.GetDataLength(), 4u);
  ar.Rewind(CArchiveBuffer::STORING);
  EXPECT_EQ(ar.GetDataLength(), 0u);

  CArchiveBuffer in(CArchiveBuffer::LOADING, 1500);
  in.GetFrame(frame, len);
  EXPECT_EQ(len, 1500u);
}

TEST(ArchiveBufferTest, FileFormHoldsContentOnlyAndCreatesFolders) {
  testenv::ScratchDir dir;
  std::string path = dir.Path() + "/a/b/c/item.dat";
  CArchiveBuffer out(CArchiveBuffer::STORING);
  ASSERT_TRUE(out.Write(uint32_t(2210)) && out.Write(std::string("SN1")));
  ASSERT_TRUE(out.StoreToFile(path.c_str()));
  EXPECT_EQ(testenv::ReadFile(path), std::string("\xA2\x08\0\0\x03\0\0\0SN1", 11));

  CArchiveBuffer in(CArchiveBuffer::LOADING);
  ASSERT_TRUE(in.LoadFromFile(path.c_str()));
  EXPECT_EQ(in.GetPosition(), 11u);  // cursor left at the end of the loaded bytes
  EXPECT_EQ(Data(in), Data(out));

  EXPECT_FALSE(in.LoadFromFile((dir.Path() + "/missing").c_str()));
  EXPECT_FALSE(in.LoadFromFile(nullptr));
  EXPECT_FALSE(out.StoreToFile(nullptr));
  // A folder where a cache file is expected opens for reading but is no
  // archive; its end offset must not become an allocation.
  CArchiveBuffer folder(CArchiveBuffer::LOADING);
  EXPECT_FALSE(folder.LoadFromFile((dir.Path() + "/a").c_str()));
  EXPECT_EQ(folder.GetCapacity(), 8192u);
}

// The body behind the id word is zero-filled to whole 8-byte blocks and
// enciphered as ECB under the selected key; the id word stays in clear with
// the flag set. The image deciphers to the padded body, in the archive that
// wrote it (cursor at the end) as in one that received it (at the start).
TEST(ArchiveCipher, BodiesAreZeroPaddedEcbBehindAFlaggedIdWordAndDecipherWhereverTheCursorStands) {
  const struct {
    const char* name;
    uint32_t selector, body, size;
  } rows[] = {
      {"id word alone", 0, 0, 4}, {"one short block", 0, 5, 12}, {"brand key", 3, 16, 20},
      {"padding grows the buffer", 0, 8195, 8204}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CArchiveBuffer ar(CArchiveBuffer::STORING);
    ASSERT_TRUE(ar.Write(uint32_t(0x0123)));
    for (uint32_t i = 0; i < row.body; ++i) ASSERT_TRUE(ar.Write(static_cast<unsigned char>(i + 1)));
    Bytes plain = Data(ar);
    plain.resize(row.size, 0);
    ASSERT_TRUE(ar.Encrypt(row.selector, 0));
    const Bytes enciphered = Data(ar);
    ASSERT_EQ(enciphered.size(), row.size);
    EXPECT_EQ(Bytes(enciphered.begin(), enciphered.begin() + 4), (Bytes{0x23, 0x81, 0, 0}));
    EXPECT_TRUE(ar.IsEncrypted());
    if (row.body == 5) {
      uint8_t block[8] = {1, 2, 3, 4, 5, 0, 0, 0};
      CBlowfishCipher bf;
      ASSERT_EQ(bf.SetKey(g_DefaultCipherKey, 56), 0);
      ASSERT_EQ(bf.Encrypt(block, 8, "ecb", nullptr), 0);
      EXPECT_EQ(Bytes(enciphered.begin() + 4, enciphered.end()), Bytes(block, block + 8));
    }
    if (row.selector != 0) {
      CArchiveBuffer other(CArchiveBuffer::STORING);
      ASSERT_TRUE(other.WriteRaw(plain.data(), static_cast<uint32_t>(plain.size())) && other.Encrypt(0, 0));
      EXPECT_NE(Data(other), enciphered);
    }

    auto rx = Received(enciphered);
    ASSERT_TRUE(rx->IsEncrypted());
    ASSERT_TRUE(rx->Decrypt(row.selector, 0));
    EXPECT_FALSE(rx->IsEncrypted());
    EXPECT_EQ(Data(*rx), plain);
    ASSERT_TRUE(ar.Decrypt(row.selector, 0));
    EXPECT_EQ(Data(ar), plain);
  }
}

TEST(ArchiveCipher, UnknownKeysShortArchivesAndBrokenBlocksFailAndLeaveTheBytes) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  ASSERT_TRUE(ar.Write(uint32_t(0x0123)) && ar.WriteFill(7, 8));
  const Bytes plain = Data(ar);
  EXPECT_FALSE(ar.Encrypt(16, 0));
  EXPECT_FALSE(ar.Decrypt(99, 0));
  EXPECT_EQ(Data(ar), plain);

  CArchiveBuffer noIdWord(CArchiveBuffer::STORING);
  ASSERT_TRUE(noIdWord.Write(static_cast<unsigned char>(1)));
  EXPECT_FALSE(noIdWord.Encrypt(0, 0));
  EXPECT_FALSE(noIdWord.Decrypt(0, 0));

  Bytes partial(4 + 12, 0xAB);
  partial[0] = 0x23, partial[1] = 0x81, partial[2] = partial[3] = 0;
  auto rx = Received(partial);
  EXPECT_FALSE(rx->Decrypt(0, 0));
  EXPECT_TRUE(rx->IsEncrypted());
  EXPECT_EQ(Data(*rx), partial);
}

}  // namespace
