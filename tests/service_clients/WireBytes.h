// Hand-built wire images for the record tests: a little-endian byte builder
// that spells out a layout field by field, and the store/load helpers that
// move a record through an archive the way a socket does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
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
  Builder& b(bool v) {
    m_Bytes.push_back(v ? 1 : 0);
    return *this;
  }
  Builder& u8(uint8_t v) {
    m_Bytes.push_back(v);
    return *this;
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
  const Bytes& bytes() const { return m_Bytes; }
  operator Bytes() const { return m_Bytes; }

 private:
  Bytes m_Bytes;
};

// Upper-case hexadecimal text of bytes, as the tool prints and reads them.
inline std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t c : b) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
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

// The whole frame (length word first) a record travels in.
inline Bytes StoreFrame(CSerialize& record) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  EXPECT_TRUE(record.Serialize(ar));
  uint8_t* p;
  uint32_t n;
  ar.GetFrame(p, n);
  return Bytes(p, p + n);
}

// Reads a record from received bytes; true when Serialize succeeded.
inline bool Load(CSerialize& record, const Bytes& bytes) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  if (!ar.AllocateData(static_cast<uint32_t>(bytes.size()))) return false;
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  std::copy(bytes.begin(), bytes.end(), p);
  ar.Rewind(CArchiveBuffer::LOADING);
  return record.Serialize(ar);
}

// Every proper prefix of a valid image must fail to read, without a crash.
template <typename Record>
void ExpectEveryPrefixFails(const Bytes& image) {
  for (size_t len = 0; len < image.size(); ++len) {
    Record r;
    EXPECT_FALSE(Load(r, Bytes(image.begin(), image.begin() + len))) << "prefix of " << len << " bytes";
  }
}

// The image with its id word replaced, plainly and with the enciphered flag.
template <typename Record>
void ExpectWrongIdsFail(const Bytes& image) {
  uint32_t id = image[0] | image[1] << 8 | image[2] << 16 | static_cast<uint32_t>(image[3]) << 24;
  for (uint32_t bad : {id + 1, id | 0x8000u}) {
    Bytes copy = image;
    for (int i = 0; i < 4; ++i) copy[i] = static_cast<uint8_t>(bad >> (8 * i));
    Record r;
    EXPECT_FALSE(Load(r, copy)) << "id " << bad;
  }
}

}  // namespace wire
