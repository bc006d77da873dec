// Hand-built wire images for the record tests: a little-endian byte builder
// that spells out a layout field by field and marks where its counts are, the
// store/load helpers that move a record through an archive the way a socket
// does, and the round-trip table that every record class goes through.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"

namespace wire {

typedef std::vector<uint8_t> Bytes;

class Builder {
 public:
  Builder& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_Bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Builder& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  Builder& b(bool v) { return u8(v ? 1 : 0); }
  Builder& u8(uint8_t v) {
    m_Bytes.push_back(v);
    return *this;
  }
  // A count or length that the elements behind it must fill: the round-trip
  // table forges each one to check that the reader refuses it at once.
  Builder& count(uint32_t n) {
    m_Counts.emplace_back(m_Bytes.size(), 4);
    return u32(n);
  }
  Builder& count8(uint8_t n) {
    m_Counts.emplace_back(m_Bytes.size(), 1);
    return u8(n);
  }
  Builder& str(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    m_Bytes.insert(m_Bytes.end(), s.begin(), s.end());
    return *this;
  }
  Builder& raw(const Bytes& more) {
    m_Bytes.insert(m_Bytes.end(), more.begin(), more.end());
    return *this;
  }
  Builder& raw(const Builder& more) {
    for (const auto& c : more.m_Counts) m_Counts.emplace_back(m_Bytes.size() + c.first, c.second);
    return raw(more.m_Bytes);
  }
  const Bytes& bytes() const { return m_Bytes; }
  operator Bytes() const { return m_Bytes; }
  // Offset and width of each count.
  const std::vector<std::pair<size_t, size_t>>& counts() const { return m_Counts; }

 private:
  Bytes m_Bytes;
  std::vector<std::pair<size_t, size_t>> m_Counts;
};

// Upper-case hexadecimal text of bytes, as the tool prints and reads them.
inline std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t c : b) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

inline Bytes Content(const CArchiveBuffer& ar) {
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  return Bytes(p, p + n);
}

// The content bytes a record writes.
inline Bytes Store(CSerialize& record) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_TRUE(record.Serialize(ar));
  return Content(ar);
}

// Reads a record from received bytes; true when Serialize succeeded. end,
// when given, receives the position at which the read stopped.
inline bool Load(CSerialize& record, const Bytes& bytes, uint32_t* end = nullptr) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  if (!ar.AllocateData(static_cast<uint32_t>(bytes.size()))) return false;
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  std::copy(bytes.begin(), bytes.end(), p);
  ar.Rewind(CArchiveBuffer::LOADING);
  bool ok = record.Serialize(ar);
  if (end) *end = ar.GetPosition();
  return ok;
}

// One row of a round-trip table: a record class, a hand-built image and what
// the record read from it writes. That is the image itself when the image is
// the newest layout, the newest layout when it is another valid form
// (version 0, an older or a newer version word), nothing for a record the
// service only reads.
struct RecordCase {
  std::string name;
  std::function<std::unique_ptr<CSerialize>()> make;
  Builder image;
  Bytes written;
};

template <typename T>
std::unique_ptr<CSerialize> Make() {
  return std::unique_ptr<CSerialize>(new T());
}
template <typename T>
RecordCase Rewritten(const std::string& name, const Builder& image, const Bytes& newest) {
  return {name, Make<T>, image, newest};
}
template <typename T>
RecordCase Newest(const std::string& name, const Builder& image) {
  return Rewritten<T>(name, image, image.bytes());
}

// Per row: the image reads (a newest-layout image to its last byte) and
// writes the expected bytes, which read back and write the same again; every
// prefix shorter than what the read took fails; so do a wrong id (also the
// right one with the enciphered flag) and each count forged beyond the bytes
// left, right behind that count, before anything is allocated or read for
// it.
inline void CheckRoundTrips(const std::vector<RecordCase>& cases) {
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes& image = c.image.bytes();
    std::unique_ptr<CSerialize> record = c.make();
    uint32_t used = 0;
    ASSERT_TRUE(Load(*record, image, &used));
    EXPECT_TRUE(c.written != image || used == image.size()) << used << " of the bytes read";
    Bytes written = Store(*record);
    EXPECT_EQ(Hex(written), Hex(c.written));
    if (!written.empty()) {
      std::unique_ptr<CSerialize> again = c.make();
      EXPECT_TRUE(Load(*again, written));
      EXPECT_EQ(Hex(Store(*again)), Hex(written)) << "the rewrite does not read back the same";
    }
    for (size_t len = 0; len < used; ++len)
      EXPECT_FALSE(Load(*c.make(), Bytes(image.begin(), image.begin() + len))) << "prefix of " << len << " bytes";
    for (uint32_t flip : {1u, 0x8000u}) {
      Bytes bad = image;
      for (int i = 0; i < 4; ++i) bad[i] ^= static_cast<uint8_t>(flip >> (8 * i));
      EXPECT_FALSE(Load(*c.make(), bad)) << "id word changed by " << flip;
    }
    for (const auto& count : c.image.counts()) {
      Bytes forged = image;
      std::fill_n(forged.begin() + count.first, count.second, 0xFF);
      uint32_t end = 0;
      EXPECT_FALSE(Load(*c.make(), forged, &end)) << "count at " << count.first;
      EXPECT_EQ(end, count.first + count.second) << "count at " << count.first;
    }
  }
}

}  // namespace wire
