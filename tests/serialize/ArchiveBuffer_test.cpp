#include "serialize/ArchiveBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestEnv.h"

namespace {

std::vector<uint8_t> Content(const CArchiveBuffer& ar) {
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  return std::vector<uint8_t>(p, p + n);
}

// Loads raw bytes into a loading archive the way a receiver does.
void Receive(CArchiveBuffer& ar, const std::vector<uint8_t>& bytes) {
  uint8_t* p;
  uint32_t n;
  ASSERT_TRUE(ar.AllocateData(static_cast<uint32_t>(bytes.size())));
  ar.GetContent(p, n);
  std::copy(bytes.begin(), bytes.end(), p);
  ar.Rewind(CArchiveBuffer::LOADING);
}

TEST(ArchiveBufferTest, PrimitivesAreLittleEndianWithoutPadding) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_TRUE(ar.Write(uint32_t(0x11223344)));
  EXPECT_TRUE(ar.Write(int16_t(-2)));
  EXPECT_TRUE(ar.Write(true));
  EXPECT_TRUE(ar.Write(std::string("abc")));
  EXPECT_TRUE(ar.Write(std::string()));
  EXPECT_TRUE(ar.Write(int32_t(-1)));
  std::vector<uint8_t> expected = {0x44, 0x33, 0x22, 0x11, 0xFE, 0xFF, 0x01, 0x03, 0x00, 0x00, 0x00,
                                   'a',  'b',  'c',  0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Content(ar), expected);

  CArchiveBuffer in(CArchiveBuffer::LOADING);
  Receive(in, expected);
  uint32_t u;
  int16_t s16;
  bool b;
  std::string abc, empty = "x";
  int32_t minus;
  EXPECT_TRUE(in.Read(u) && in.Read(s16) && in.Read(b) && in.Read(abc) && in.Read(empty) && in.Read(minus));
  EXPECT_EQ(u, 0x11223344u);
  EXPECT_EQ(s16, -2);
  EXPECT_TRUE(b);
  EXPECT_EQ(abc, "abc");
  EXPECT_EQ(empty, "");
  EXPECT_EQ(minus, -1);
  EXPECT_EQ(in.GetRemaining(), 0u);
  EXPECT_FALSE(in.Read(u));
}

TEST(ArchiveBufferTest, AnyNonZeroByteReadsAsTrue) {
  CArchiveBuffer in(CArchiveBuffer::LOADING);
  Receive(in, {0x00, 0x7F});
  bool a = true, b = false;
  EXPECT_TRUE(in.Read(a) && in.Read(b));
  EXPECT_FALSE(a);
  EXPECT_TRUE(b);
}

TEST(ArchiveBufferTest, StringReadRules) {
  // Counted bytes holding a zero: cut at the zero, cursor past all bytes.
  CArchiveBuffer in(CArchiveBuffer::LOADING);
  Receive(in, {0x04, 0, 0, 0, 'a', 0, 'b', 'c', 0x07});
  std::string s;
  EXPECT_TRUE(in.Read(s));
  EXPECT_EQ(s, "a");
  unsigned char next;
  EXPECT_TRUE(in.Read(next));
  EXPECT_EQ(next, 0x07);

  // A count beyond the data fails, with the count consumed.
  CArchiveBuffer shortIn(CArchiveBuffer::LOADING);
  Receive(shortIn, {0x05, 0, 0, 0, 'a', 'b'});
  EXPECT_FALSE(shortIn.Read(s));
  EXPECT_EQ(shortIn.GetPosition(), 4u);

  // Fewer than four bytes: nothing consumed.
  CArchiveBuffer tiny(CArchiveBuffer::LOADING);
  Receive(tiny, {0x01, 0});
  EXPECT_FALSE(tiny.Read(s));
  EXPECT_EQ(tiny.GetPosition(), 0u);
}

TEST(ArchiveBufferTest, FailedReadLeavesCursorAndFieldBoundaryTruncation) {
  CArchiveBuffer in(CArchiveBuffer::LOADING, 64);
  Receive(in, {1, 2, 3, 4, 5, 6});
  uint32_t a, b;
  EXPECT_TRUE(in.Read(a));
  EXPECT_FALSE(in.Read(b));  // two bytes left, capacity far larger
  EXPECT_EQ(in.GetPosition(), 4u);
  uint16_t c;
  EXPECT_TRUE(in.Read(c));
  EXPECT_EQ(c, 0x0605);
}

TEST(ArchiveBufferTest, GrowthIsByWholeIncrements) {
  CArchiveBuffer big(CArchiveBuffer::STORING);
  std::string bytes(8193, 'x');
  EXPECT_TRUE(big.WriteRaw(bytes.data(), 8193));
  EXPECT_EQ(big.GetCapacity(), 16385u);
  EXPECT_EQ(big.GetReceiveSize(), 16385u);

  CArchiveBuffer full(CArchiveBuffer::STORING);
  EXPECT_TRUE(full.WriteFill(0xAB, 8192));
  EXPECT_EQ(full.GetCapacity(), 8192u);
  EXPECT_TRUE(full.Write('z'));
  EXPECT_EQ(full.GetCapacity(), 16384u);
  // The bytes written before the growth survive it.
  std::vector<uint8_t> c = Content(full);
  ASSERT_EQ(c.size(), 8193u);
  EXPECT_EQ(c[0], 0xAB);
  EXPECT_EQ(c[8191], 0xAB);
  EXPECT_EQ(c[8192], 'z');
}

TEST(ArchiveBufferTest, RawWriteRejectsNullAndEmpty) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  char x = 1;
  EXPECT_FALSE(ar.WriteRaw(nullptr, 4));
  EXPECT_FALSE(ar.WriteRaw(&x, 0));
  EXPECT_EQ(ar.GetDataLength(), 0u);
}

TEST(ArchiveBufferTest, AllocateDataRules) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  EXPECT_TRUE(ar.AllocateData(0));
  uint8_t b;
  EXPECT_FALSE(ar.Read(b));

  EXPECT_TRUE(ar.AllocateData(10000));  // grows past the initial capacity
  EXPECT_GE(ar.GetCapacity(), 10000u);
  EXPECT_EQ(ar.GetDataLength(), 10000u);
  EXPECT_FALSE(ar.AllocateData(4));  // cursor no longer at the start
}

TEST(ArchiveBufferTest, FrameOfStoringArchiveCountsTheSlot) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  ASSERT_TRUE(ar.Write(uint32_t(2034)));
  uint8_t* frame;
  uint32_t len;
  ar.GetFrame(frame, len);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(std::vector<uint8_t>(frame, frame + 8), (std::vector<uint8_t>{8, 0, 0, 0, 0xF2, 0x07, 0, 0}));

  CArchiveBuffer in(CArchiveBuffer::LOADING, 1500);
  in.GetFrame(frame, len);
  EXPECT_EQ(len, 1500u);
}

TEST(ArchiveBufferTest, RewindToStoringEmptiesTheData) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  ASSERT_TRUE(ar.Write(uint32_t(7)));
  ar.Rewind(CArchiveBuffer::LOADING);
  EXPECT_EQ(ar.GetDataLength(), 4u);
  ar.Rewind(CArchiveBuffer::STORING);
  EXPECT_EQ(ar.GetDataLength(), 0u);
}

TEST(ArchiveBufferTest, EncryptedFlagIsBit15OfTheFirstWord) {
  CArchiveBuffer plain(CArchiveBuffer::STORING);
  ASSERT_TRUE(plain.Write(uint32_t(2034)));
  EXPECT_FALSE(plain.IsEncrypted());
  CArchiveBuffer flagged(CArchiveBuffer::STORING);
  ASSERT_TRUE(flagged.Write(uint32_t(2034 | 0x8000)));
  EXPECT_TRUE(flagged.IsEncrypted());
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
  in.Rewind(CArchiveBuffer::LOADING);
  uint32_t id;
  std::string sn;
  EXPECT_TRUE(in.Read(id) && in.Read(sn));
  EXPECT_EQ(sn, "SN1");

  EXPECT_FALSE(in.LoadFromFile((dir.Path() + "/missing").c_str()));
  EXPECT_FALSE(in.LoadFromFile(nullptr));
  EXPECT_FALSE(out.StoreToFile(nullptr));

  // A folder where a cache file is expected opens for reading but is no
  // archive; its end offset must not become an allocation.
  CArchiveBuffer folder(CArchiveBuffer::LOADING);
  EXPECT_FALSE(folder.LoadFromFile((dir.Path() + "/a").c_str()));
  EXPECT_EQ(folder.GetCapacity(), 8192u);
}

}  // namespace
