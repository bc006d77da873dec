#include "RecordJson.h"

#include <limits>
#include <vector>

#include "JsonText.h"

namespace {

std::vector<RecordJson>& Registry() {
  static std::vector<RecordJson> entries;
  return entries;
}

template <typename T>
bool GetNumber(const nlohmann::ordered_json& in, const char* name, T& v, std::string& err) {
  auto it = in.find(name);
  if (it == in.end()) {
    err = std::string("missing field \"") + name + "\"";
    return false;
  }
  if (!it->is_number_integer()) {
    err = std::string("field \"") + name + "\" is not an integer";
    return false;
  }
  long long n = it->get<long long>();
  if (n < static_cast<long long>(std::numeric_limits<T>::min()) ||
      n > static_cast<long long>(std::numeric_limits<T>::max())) {
    err = std::string("field \"") + name + "\" is out of range";
    return false;
  }
  v = static_cast<T>(n);
  return true;
}

}  // namespace

RecordJsonRegistration::RecordJsonRegistration(const RecordJson& entry) { Registry().push_back(entry); }

namespace recordjson {

const RecordJson* FindById(uint32_t id) {
  id &= ~0x8000u;
  for (const auto& e : Registry())
    if (e.id == id) return &e;
  return nullptr;
}

const RecordJson* FindByName(const std::string& className) {
  for (const auto& e : Registry())
    if (className == e.className) return &e;
  return nullptr;
}

nlohmann::ordered_json ToJson(const CSerialize& record) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  const RecordJson* e = FindById(record.GetId());
  out["class"] = e ? e->className : "?";
  out["id"] = record.GetId();
  if (e) e->toJson(record, out);
  return out;
}

std::unique_ptr<CSerialize> FromJson(const nlohmann::ordered_json& in, std::string& err) {
  if (!in.is_object()) {
    err = "a record must be a JSON object";
    return nullptr;
  }
  const RecordJson* e = nullptr;
  auto cls = in.find("class");
  if (cls != in.end() && cls->is_string()) {
    e = FindByName(cls->get<std::string>());
    if (!e) {
      err = "unknown class \"" + cls->get<std::string>() + "\"";
      return nullptr;
    }
  } else {
    uint32_t id;
    if (!GetField(in, "id", id, err)) {
      err = "a record needs \"class\" or \"id\"";
      return nullptr;
    }
    e = FindById(id);
    if (!e) {
      err = "unknown object id " + std::to_string(id);
      return nullptr;
    }
  }
  // An id beside the class must name the same record: an edited id would
  // otherwise be dropped without a word.
  auto id = in.find("id");
  if (cls != in.end() && id != in.end() && !(id->is_number_unsigned() && id->get<uint64_t>() == e->id)) {
    err = std::string(e->className) + ": \"id\" " + JsonText(*id) + " is not its object identifier " +
          std::to_string(e->id);
    return nullptr;
  }
  std::unique_ptr<CSerialize> record = e->make();
  std::string why;
  if (!e->fromJson(in, *record, why)) {
    err = std::string(e->className) + ": " + why;
    return nullptr;
  }
  return record;
}

bool GetField(const nlohmann::ordered_json& in, const char* name, int32_t& v, std::string& err) {
  return GetNumber(in, name, v, err);
}
bool GetField(const nlohmann::ordered_json& in, const char* name, uint32_t& v, std::string& err) {
  return GetNumber(in, name, v, err);
}
bool GetField(const nlohmann::ordered_json& in, const char* name, uint8_t& v, std::string& err) {
  return GetNumber(in, name, v, err);
}
bool GetField(const nlohmann::ordered_json& in, const char* name, bool& v, std::string& err) {
  auto it = in.find(name);
  if (it == in.end() || !it->is_boolean()) {
    err = std::string("field \"") + name + (it == in.end() ? "\" is missing" : "\" is not true/false");
    return false;
  }
  v = it->get<bool>();
  return true;
}
bool GetField(const nlohmann::ordered_json& in, const char* name, std::string& v, std::string& err) {
  auto it = in.find(name);
  if (it == in.end() || !it->is_string()) {
    err = std::string("field \"") + name + (it == in.end() ? "\" is missing" : "\" is not a string");
    return false;
  }
  v = it->get<std::string>();
  return true;
}

}  // namespace recordjson
