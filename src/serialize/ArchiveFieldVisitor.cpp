#include "serialize/ArchiveFieldVisitor.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/RecordCount.h"
#include "serialize/Serialize.h"

CArchiveFieldVisitor::CArchiveFieldVisitor(CArchiveBuffer& ar) : m_Archive(ar), m_bLoading(!ar.IsStoring()) {}

template <typename T>
bool CArchiveFieldVisitor::Move(T& v) {
  return m_bLoading ? m_Archive.Read(v) : m_Archive.Write(v);
}

bool CArchiveFieldVisitor::Walk(CSerialize& record) { return record.VisitFields(*this) || m_bEnded; }

bool CArchiveFieldVisitor::Begin(CSerialize& record) {
  return m_bLoading ? record.CheckId(m_Archive) : m_Archive.Write(record.GetId());
}

bool CArchiveFieldVisitor::Version(uint32_t& version, uint32_t newest) { return AnyVersion(version, newest); }

bool CArchiveFieldVisitor::Version(uint8_t& version, uint8_t newest) { return AnyVersion(version, newest); }

template <typename T>
bool CArchiveFieldVisitor::AnyVersion(T& version, T newest) {
  // Every field is written, and only the newest version word announces
  // them all: an older word would stop a reader short of them.
  if (!m_bLoading) return m_Archive.Write(newest);
  if (!m_Archive.Read(version)) return false;
  m_uiVersionRead = version;
  return version != 0 || End();
}

bool CArchiveFieldVisitor::Since(uint32_t version) { return !m_bLoading || m_uiVersionRead >= version || End(); }

bool CArchiveFieldVisitor::ReadOnly(const char*) { return m_bLoading || End(); }

bool CArchiveFieldVisitor::Field(const char*, bool& v) { return Move(v); }

bool CArchiveFieldVisitor::Field(const char*, uint8_t& v) { return Move(v); }

bool CArchiveFieldVisitor::Field(const char*, int32_t& v) { return Move(v); }

bool CArchiveFieldVisitor::Field(const char*, uint32_t& v) { return Move(v); }

bool CArchiveFieldVisitor::Field(const char*, int64_t& v) {
  uint8_t b[8];
  if (!m_bLoading) {
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    return m_Archive.WriteRaw(b, 8);
  }
  if (!m_Archive.ReadRaw(b, 8)) return false;
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(b[i]) << (8 * i);
  v = static_cast<int64_t>(u);
  return true;
}

bool CArchiveFieldVisitor::Field(const char*, std::string& v) { return Move(v); }

bool CArchiveFieldVisitor::Field(const char*, CSerialize& record) { return record.Serialize(m_Archive); }

bool CArchiveFieldVisitor::Field(const char*, std::vector<std::string>& v) {
  return Values(v, record_count::MIN_STRING_SIZE);
}

bool CArchiveFieldVisitor::Field(const char*, std::vector<uint32_t>& v) { return Values(v, 4); }

template <typename T>
bool CArchiveFieldVisitor::Values(std::vector<T>& v, uint32_t minSize) {
  if (!m_bLoading) {
    if (!m_Archive.Write(static_cast<uint32_t>(v.size()))) return false;
    for (auto& value : v)
      if (!m_Archive.Write(value)) return false;
    return true;
  }
  v.clear();
  uint32_t count;
  if (!ReadCount(count, minSize, record_count::VectorSlot<T>())) return false;
  v.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    T value;
    if (!m_Archive.Read(value)) return false;
    v.push_back(value);
  }
  return true;
}

bool CArchiveFieldVisitor::Flag(const char*, bool& v, uint32_t width) {
  // Only 1 is set; a byte or a word, as the record's layout has it.
  unsigned char b = v ? 1 : 0;
  uint32_t word = b;
  if (!(width == 1 ? Move(b) : Move(word))) return false;
  if (m_bLoading) v = (width == 1 ? b : word) == 1;
  return true;
}

bool CArchiveFieldVisitor::Byte(const char*, uint32_t& v) {
  if (!m_bLoading) return m_Archive.Write(static_cast<unsigned char>(v));
  unsigned char b;
  if (!m_Archive.Read(b)) return false;
  v = b;
  return true;
}

bool CArchiveFieldVisitor::Byte(const char*, int32_t& v, int32_t low, int32_t) {
  if (!m_bLoading) return m_Archive.Write(static_cast<unsigned char>(v));
  unsigned char b;
  if (!m_Archive.Read(b)) return false;
  v = low < 0 ? static_cast<int32_t>(static_cast<signed char>(b)) : static_cast<int32_t>(b);
  return true;
}

bool CArchiveFieldVisitor::Words(const char*, uint32_t* words, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (!Move(words[i])) return false;
  return true;
}

bool CArchiveFieldVisitor::Block(const char*, std::vector<uint8_t>& bytes, const char*) {
  if (!m_bLoading)
    return m_Archive.Write(static_cast<uint32_t>(bytes.size())) &&
           (bytes.empty() || m_Archive.WriteRaw(bytes.data(), static_cast<uint32_t>(bytes.size())));
  uint32_t length;
  // Checked before allocating: the length is the sender's word.
  if (!m_Archive.Read(length) || length > m_Archive.GetRemaining()) return false;
  bytes.assign(length, 0);
  return length == 0 || m_Archive.ReadRaw(bytes.data(), length);
}

bool CArchiveFieldVisitor::Counter(const char*, std::atomic<uint8_t>& counter) {
  if (!m_bLoading) {
    if (!m_Archive.Write(static_cast<unsigned char>(counter))) return false;
    ++counter;
    return true;
  }
  unsigned char b;
  if (!m_Archive.Read(b)) return false;
  counter = b;
  return true;
}

bool CArchiveFieldVisitor::Written(const char*, CSerialize& record) {
  return m_bLoading || record.Serialize(m_Archive);
}

bool CArchiveFieldVisitor::ReadCount(uint32_t& count, uint32_t minElementSize, uint32_t elementMemory) {
  return record_count::Read(m_Archive, count, minElementSize, elementMemory);
}

bool CArchiveFieldVisitor::Count(CFieldList& list) {
  if (!m_bLoading) {
    if (list.Size() > list.m_uiMaxCount) return false;
    return list.m_bByteCount ? m_Archive.Write(static_cast<unsigned char>(list.Size()))
                             : m_Archive.Write(static_cast<uint32_t>(list.Size()));
  }
  uint32_t count;
  if (list.m_bByteCount) {
    unsigned char b;
    if (!m_Archive.Read(b)) return false;
    count = b;
  } else if (!m_Archive.Read(count)) {
    return false;
  }
  if (!record_count::Plausible(m_Archive, count, list.m_uiMinElementSize, list.m_uiElementMemory) ||
      count > list.m_uiMaxCount)
    return false;
  list.m_uiPending = count;
  return true;
}

bool CArchiveFieldVisitor::Elements(const char*, CFieldList& list) {
  if (!m_bLoading) return list.ForEach([this](const CFieldList::Element& e) { return e(*this); });
  list.Clear();
  for (uint32_t i = 0; i < list.m_uiPending; ++i)
    if (!list.Add(*this)) return false;
  return true;
}
