#include "JsonFieldReader.h"

#include <limits>

#include "RecordJson.h"
#include "ToolCommand.h"
#include "serialize/FieldList.h"

namespace {

// Whether a counter has been set in this run: the tool encodes one record a
// run, and a record of several announcements numbers them on from its first.
bool g_bCounterSet = false;

std::string Quoted(const char* name) { return std::string("field \"") + name + "\""; }

// "name[i]", how a reason names an element of an array field.
std::string Element(const char* array, size_t i) { return std::string(array) + "[" + std::to_string(i) + "]"; }

}  // namespace

const nlohmann::ordered_json* CJsonFieldReader::Find(const char* name, const char* missing) {
  if (!m_In.is_object()) {
    Fail(m_strWhat + " is not an object");
    return nullptr;
  }
  auto it = m_In.find(name);
  if (it != m_In.end()) return &*it;
  Fail(missing ? Quoted(name) + missing : std::string("missing field \"") + name + "\"");
  return nullptr;
}

template <typename T>
bool CJsonFieldReader::Number(const char* name, T& v) {
  const nlohmann::ordered_json* j = Find(name, nullptr);
  if (!j) return false;
  if (!j->is_number_integer()) return Fail(Quoted(name) + " is not an integer");
  long long n = j->get<long long>();
  if (n < static_cast<long long>(std::numeric_limits<T>::min()) ||
      n > static_cast<long long>(std::numeric_limits<T>::max()))
    return Fail(Quoted(name) + " is out of range");
  v = static_cast<T>(n);
  return true;
}

bool CJsonFieldReader::Array(const char* name, const nlohmann::ordered_json*& array) {
  array = Find(name, " is missing");
  if (!array) return false;
  return array->is_array() || Fail(Quoted(name) + " is not an array");
}

bool CJsonFieldReader::ReadOnly(const char* what) {
  return Fail(std::string("the service only reads ") + what + ", it never writes one, so it cannot be encoded");
}

bool CJsonFieldReader::Field(const char* name, bool& v) {
  const nlohmann::ordered_json* j = Find(name, " is missing");
  if (!j) return false;
  if (!j->is_boolean()) return Fail(Quoted(name) + " is not true/false");
  v = j->get<bool>();
  return true;
}

bool CJsonFieldReader::Field(const char* name, int64_t& v) {
  const nlohmann::ordered_json* j = Find(name, " is missing");
  if (!j) return false;
  if (!j->is_number_integer()) return Fail(Quoted(name) + " is not an integer");
  v = j->get<int64_t>();
  return true;
}

bool CJsonFieldReader::Field(const char* name, std::string& v) {
  const nlohmann::ordered_json* j = Find(name, " is missing");
  if (!j) return false;
  if (!j->is_string()) return Fail(Quoted(name) + " is not a string");
  v = j->get<std::string>();
  return true;
}

bool CJsonFieldReader::Field(const char* name, CSerialize& record) {
  if (name == nullptr) return recordjson::FillNested(m_In, m_strWhat, record, m_Err);
  const nlohmann::ordered_json* j = Find(name, nullptr);
  return j && recordjson::FillNested(*j, name, record, m_Err);
}

bool CJsonFieldReader::Field(const char* name, std::vector<std::string>& v) {
  const nlohmann::ordered_json* array;
  if (!Array(name, array)) return false;
  v.clear();
  for (const auto& e : *array) {
    if (!e.is_string()) return Fail(Quoted(name) + " holds a non-string");
    v.push_back(e.get<std::string>());
  }
  return true;
}

bool CJsonFieldReader::Field(const char* name, std::vector<uint32_t>& v) {
  const nlohmann::ordered_json* array;
  if (!Array(name, array)) return false;
  v.clear();
  for (size_t i = 0; i < array->size(); ++i) {
    const nlohmann::ordered_json& e = (*array)[i];
    if (!e.is_number_unsigned() || e.get<unsigned long long>() > UINT32_MAX)
      return Fail(Element(name, i) + " is not a 32-bit serial number");
    v.push_back(e.get<uint32_t>());
  }
  return true;
}

bool CJsonFieldReader::Byte(const char* name, uint32_t& v) {
  if (!Number(name, v)) return false;
  return v <= 0xFF || Fail(Quoted(name) + " travels in one byte: 0..255");
}

bool CJsonFieldReader::Byte(const char* name, int32_t& v, int32_t low, int32_t high) {
  if (!Number(name, v)) return false;
  return (v >= low && v <= high) ||
         Fail(Quoted(name) + " must lie in " + std::to_string(low) + ".." + std::to_string(high));
}

bool CJsonFieldReader::Words(const char* name, uint32_t* words, uint32_t count) {
  const nlohmann::ordered_json* array;
  if (!Array(name, array)) return false;
  if (array->size() != count) return Fail(Quoted(name) + " must hold " + std::to_string(count) + " numbers");
  for (uint32_t i = 0; i < count; ++i) {
    const nlohmann::ordered_json& w = (*array)[i];
    if (!w.is_number_unsigned() || w.get<unsigned long long>() > 0xFFFFFFFFull)
      return Fail(Quoted(name) + " holds something other than 32-bit numbers");
    words[i] = w.get<uint32_t>();
  }
  return true;
}

bool CJsonFieldReader::Block(const char* name, std::vector<uint8_t>& bytes, const char* textName) {
  std::string text, hex;
  if (textName && m_In.contains(textName)) {
    if (!Field(textName, text)) return false;
    bytes.assign(text.begin(), text.end());
    bytes.push_back(0);
    return true;
  }
  if (!Field(name, hex)) {
    if (textName) m_Err = std::string("missing field \"") + textName + "\" or \"" + name + "\"";
    return false;
  }
  if (!tool::ParseHex(hex, text)) return Fail(Quoted(name) + " is not hexadecimal bytes");
  bytes.assign(text.begin(), text.end());
  return true;
}

bool CJsonFieldReader::Counter(const char* name, std::atomic<uint8_t>& counter) {
  uint8_t value;
  if (!Number(name, value)) return false;
  if (!g_bCounterSet) counter = value;
  g_bCounterSet = true;
  return true;
}

bool CJsonFieldReader::Elements(const char* name, CFieldList& list) {
  const nlohmann::ordered_json* array;
  if (!Array(name, array)) return false;
  if (array->size() > list.m_uiMaxCount)
    return Fail(Quoted(name) + " holds more than " + std::to_string(list.m_uiMaxCount) + " " + name +
                (list.m_bByteCount ? "; the count travels in one byte" : ""));
  list.Clear();
  for (size_t i = 0; i < array->size(); ++i) {
    CJsonFieldReader element((*array)[i], Element(name, i), m_Err);
    if (!list.Add(element)) return false;
  }
  return true;
}
