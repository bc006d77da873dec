// CJsonFieldWriter: shows a record's field list as JSON, each field under
// its name in wire order; nested records as nested objects of the same
// shape (recordjson::ToJson), lists as arrays.
#pragma once

#include <nlohmann/json.hpp>

#include "serialize/FieldVisitor.h"

class CJsonFieldWriter : public CFieldVisitor {
 public:
  // Adds the fields to out, an object.
  explicit CJsonFieldWriter(nlohmann::ordered_json& out) : m_Out(out) {}

  bool IntoRecord() const override { return false; }
  bool OnWire() const override { return false; }
  bool Begin(CSerialize&) override { return true; }
  bool Version(uint32_t& version, uint32_t) override { return Put("version", version); }
  bool Version(uint8_t& version, uint8_t) override { return Put("version", version); }
  bool Since(uint32_t) override { return true; }
  bool ReadOnly(const char*) override { return true; }
  bool Field(const char* name, bool& v) override { return Put(name, v); }
  bool Field(const char* name, uint8_t& v) override { return Put(name, v); }
  bool Field(const char* name, int32_t& v) override { return Put(name, v); }
  bool Field(const char* name, uint32_t& v) override { return Put(name, v); }
  bool Field(const char* name, int64_t& v) override { return Put(name, v); }
  bool Field(const char* name, std::string& v) override { return Put(name, v); }
  bool Field(const char* name, CSerialize& record) override;
  bool Field(const char* name, std::vector<std::string>& v) override { return Put(name, v); }
  bool Field(const char* name, std::vector<uint32_t>& v) override { return Put(name, v); }
  bool Flag(const char* name, bool& v, uint32_t) override { return Put(name, v); }
  bool Byte(const char* name, uint32_t& v) override { return Put(name, v); }
  bool Byte(const char* name, int32_t& v, int32_t, int32_t) override { return Put(name, v); }
  bool Words(const char* name, uint32_t* words, uint32_t count) override;
  bool Block(const char* name, std::vector<uint8_t>& bytes, const char* textName) override;
  bool Counter(const char* name, std::atomic<uint8_t>& counter) override;
  bool Written(const char* name, CSerialize& record) override { return Field(name, record); }
  bool Shown(const char* name, int64_t value) override { return Put(name, value); }
  bool Shown(const char* name, const char* text) override { return Put(name, text); }
  bool Count(CFieldList&) override { return true; }
  bool Elements(const char* name, CFieldList& list) override;

 private:
  template <typename T>
  bool Put(const char* name, const T& value) {
    m_Out[name] = value;
    return true;
  }

  nlohmann::ordered_json& m_Out;
};
