// Helpers for the record families whose records nest other records or carry
// lists: a nested record is converted through the registry (so a family
// needs no other family's fields) and then checked to be of the expected
// class.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "RecordJson.h"

namespace recordjson {

// Fills out from a JSON record that must be of class T; what names the
// record in a message.
template <typename T>
bool RecordFromJson(const nlohmann::ordered_json& in, const std::string& what, T& out, std::string& err) {
  std::string why;
  std::unique_ptr<CSerialize> record = FromJson(in, why);
  if (!record) {
    err = "field \"" + what + "\": " + why;
    return false;
  }
  T* typed = dynamic_cast<T*>(record.get());
  if (!typed) {
    err = "field \"" + what + "\" holds a record of the wrong class";
    return false;
  }
  out = *typed;
  // A component list's assignment keeps the target's result code.
  if constexpr (std::is_base_of<CResponse, T>::value) out.SetResult(typed->GetResult());
  return true;
}

// Fills out from in[name], which must be a record of class T.
template <typename T>
bool GetRecord(const nlohmann::ordered_json& in, const char* name, T& out, std::string& err) {
  auto it = in.find(name);
  if (it == in.end()) {
    err = std::string("missing field \"") + name + "\"";
    return false;
  }
  return RecordFromJson(*it, name, out, err);
}

// The array in[name]; false when missing or not an array.
inline bool GetArray(const nlohmann::ordered_json& in, const char* name, const nlohmann::ordered_json*& array, std::string& err) {
  auto it = in.find(name);
  if (it == in.end() || !it->is_array()) {
    err = std::string("field \"") + name + (it == in.end() ? "\" is missing" : "\" is not an array");
    return false;
  }
  array = &*it;
  return true;
}

inline bool GetStringList(const nlohmann::ordered_json& in, const char* name, std::vector<std::string>& out,
                          std::string& err) {
  const nlohmann::ordered_json* array;
  if (!GetArray(in, name, array, err)) return false;
  out.clear();
  for (const auto& e : *array) {
    if (!e.is_string()) {
      err = std::string("field \"") + name + "\" holds a non-string";
      return false;
    }
    out.push_back(e.get<std::string>());
  }
  return true;
}

// "name[i]", how a message names an element of an array field.
inline std::string Element(const char* array, size_t i) { return std::string(array) + "[" + std::to_string(i) + "]"; }

inline bool IsObject(const nlohmann::ordered_json& e, const std::string& what, std::string& err) {
  if (e.is_object()) return true;
  err = what + " is not an object";
  return false;
}

// A map from serial number to record as an array of {"serial", "item"} in
// serial order, the order the map travels in.
template <typename Map>
nlohmann::ordered_json SerialMapToJson(const Map& map) {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (const auto& kv : map) entries.push_back({{"serial", kv.first}, {"item", ToJson(kv.second)}});
  return entries;
}

// Reads in[name] in the form above, handing each entry to put(serial, item).
template <typename Item, typename Put>
bool SerialMapFromJson(const nlohmann::ordered_json& in, const char* name, Put put, std::string& err) {
  const nlohmann::ordered_json* entries;
  if (!GetArray(in, name, entries, err)) return false;
  for (size_t i = 0; i < entries->size(); ++i) {
    const nlohmann::ordered_json& e = (*entries)[i];
    uint32_t serial;
    Item item;
    if (!IsObject(e, Element(name, i), err) || !GetField(e, "serial", serial, err) || !GetRecord(e, "item", item, err))
      return false;
    put(serial, item);
  }
  return true;
}

}  // namespace recordjson
