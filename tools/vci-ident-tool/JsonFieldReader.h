// CJsonFieldReader: fills a record from its JSON form (what
// CJsonFieldWriter shows) by walking the record's field list. A missing or
// ill-typed field stops the walk with a reason that names the field.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "serialize/FieldVisitor.h"

class CJsonFieldReader : public CFieldVisitor {
 public:
  // in is the record's object, or a list element that `what` names
  // ("args[2]"); err receives the reason of a failure.
  CJsonFieldReader(const nlohmann::ordered_json& in, std::string what, std::string& err)
      : m_In(in), m_strWhat(std::move(what)), m_Err(err) {}

  bool IntoRecord() const override { return true; }
  bool OnWire() const override { return false; }
  bool Begin(CSerialize&) override { return true; }
  bool Version(uint32_t& version, uint32_t) override { return Number("version", version); }
  bool Version(uint8_t& version, uint8_t) override { return Number("version", version); }
  bool Since(uint32_t) override { return true; }
  bool ReadOnly(const char* what) override;
  bool Field(const char* name, bool& v) override;
  bool Field(const char* name, uint8_t& v) override { return Number(name, v); }
  bool Field(const char* name, int32_t& v) override { return Number(name, v); }
  bool Field(const char* name, uint32_t& v) override { return Number(name, v); }
  bool Field(const char* name, int64_t& v) override;
  bool Field(const char* name, std::string& v) override;
  bool Field(const char* name, CSerialize& record) override;
  bool Field(const char* name, std::vector<std::string>& v) override;
  bool Field(const char* name, std::vector<uint32_t>& v) override;
  bool Flag(const char* name, bool& v, uint32_t) override { return Field(name, v); }
  bool Byte(const char* name, uint32_t& v) override;
  bool Byte(const char* name, int32_t& v, int32_t low, int32_t high) override;
  bool Words(const char* name, uint32_t* words, uint32_t count) override;
  bool Block(const char* name, std::vector<uint8_t>& bytes, const char* textName) override;
  bool Counter(const char* name, std::atomic<uint8_t>& counter) override;
  bool Written(const char*, CSerialize&) override { return true; }
  bool Shown(const char*, int64_t) override { return true; }
  bool Shown(const char*, const char*) override { return true; }
  bool Count(CFieldList&) override { return true; }
  bool Elements(const char* name, CFieldList& list) override;

 private:
  // in[name]; null with the reason set when in is no object or lacks it
  // (missing: the reason's wording for the field's kind).
  const nlohmann::ordered_json* Find(const char* name, const char* missing);
  template <typename T>
  bool Number(const char* name, T& v);
  bool Array(const char* name, const nlohmann::ordered_json*& array);
  bool Fail(const std::string& reason) {
    m_Err = reason;
    return false;
  }

  const nlohmann::ordered_json& m_In;
  const std::string m_strWhat;
  std::string& m_Err;
};
