#include "JsonFieldWriter.h"

#include "RecordJson.h"
#include "ToolCommand.h"
#include "serialize/FieldList.h"

bool CJsonFieldWriter::Field(const char* name, CSerialize& record) {
  // A list element that is a record is that record's JSON.
  if (name == nullptr)
    m_Out = recordjson::ToJson(record);
  else
    m_Out[name] = recordjson::ToJson(record);
  return true;
}

bool CJsonFieldWriter::Words(const char* name, uint32_t* words, uint32_t count) {
  return Put(name, std::vector<uint32_t>(words, words + count));
}

// A block that is one text and its terminator shows as that text.
bool CJsonFieldWriter::Block(const char* name, std::vector<uint8_t>& bytes, const char* textName) {
  bool text = textName != nullptr && !bytes.empty() && bytes.back() == 0;
  for (size_t i = 0; text && i + 1 < bytes.size(); ++i) text = bytes[i] != 0;
  if (text) return Put(textName, std::string(bytes.begin(), bytes.end() - 1));
  return Put(name, tool::ToHex(bytes.data(), bytes.size()));
}

// Taken as a write takes it: the next record that shows the counter shows
// the next value, as the next one written would carry it.
bool CJsonFieldWriter::Counter(const char* name, std::atomic<uint8_t>& counter) {
  const uint8_t value = counter;
  counter = static_cast<uint8_t>(value + 1);
  return Put(name, value);
}

bool CJsonFieldWriter::Elements(const char* name, CFieldList& list) {
  nlohmann::ordered_json elements = nlohmann::ordered_json::array();
  list.ForEach([&elements](const CFieldList::Element& e) {
    nlohmann::ordered_json element = nlohmann::ordered_json::object();
    CJsonFieldWriter writer(element);
    e(writer);
    elements.push_back(std::move(element));
    return true;
  });
  return Put(name, elements);
}
