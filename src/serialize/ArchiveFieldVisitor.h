// CArchiveFieldVisitor: writes a record's field list into an archive or
// reads it back. A read honours the version word it finds: a record read
// with version 0, or with a version older than a field's, ends there and
// counts as read. Every count is checked through record_count before
// anything is built.
#pragma once

#include "serialize/FieldVisitor.h"

class CArchiveBuffer;

class CArchiveFieldVisitor : public CFieldVisitor {
 public:
  explicit CArchiveFieldVisitor(CArchiveBuffer& ar);

  // Writes or reads record's fields (CSerialize::VisitFields).
  bool Walk(CSerialize& record);

  bool IntoRecord() const override { return m_bLoading; }
  bool OnWire() const override { return true; }
  bool Begin(CSerialize& record) override;
  bool Version(uint32_t& version, uint32_t newest) override;
  bool Version(uint8_t& version, uint8_t newest) override;
  bool Since(uint32_t version) override;
  bool ReadOnly(const char* what) override;
  bool Field(const char* name, bool& v) override;
  bool Field(const char* name, uint8_t& v) override;
  bool Field(const char* name, int32_t& v) override;
  bool Field(const char* name, uint32_t& v) override;
  bool Field(const char* name, int64_t& v) override;
  bool Field(const char* name, std::string& v) override;
  bool Field(const char* name, CSerialize& record) override;
  bool Field(const char* name, std::vector<std::string>& v) override;
  bool Field(const char* name, std::vector<uint32_t>& v) override;
  bool Flag(const char* name, bool& v, uint32_t width) override;
  bool Byte(const char* name, uint32_t& v) override;
  bool Byte(const char* name, int32_t& v, int32_t low, int32_t high) override;
  bool Words(const char* name, uint32_t* words, uint32_t count) override;
  bool Block(const char* name, std::vector<uint8_t>& bytes, const char* textName) override;
  bool Counter(const char* name, std::atomic<uint8_t>& counter) override;
  bool Written(const char* name, CSerialize& record) override;
  bool Shown(const char*, int64_t) override { return true; }
  bool Shown(const char*, const char*) override { return true; }
  bool Count(CFieldList& list) override;
  bool Elements(const char* name, CFieldList& list) override;

 private:
  // Stops the walk where the record ends; Walk then reports success.
  bool End() {
    m_bEnded = true;
    return false;
  }
  bool ReadCount(uint32_t& count, uint32_t minElementSize, uint32_t elementMemory);
  // Reads or writes one value as the archive does.
  template <typename T>
  bool Move(T& v);
  template <typename T>
  bool AnyVersion(T& version, T newest);
  // A counted list of values, each at least minSize bytes on the wire.
  template <typename T>
  bool Values(std::vector<T>& v, uint32_t minSize);

  CArchiveBuffer& m_Archive;
  const bool m_bLoading;
  uint32_t m_uiVersionRead = 0;
  bool m_bEnded = false;
};
