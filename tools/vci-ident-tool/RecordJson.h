// The JSON form of the system's records, used by decode, encode, cache show,
// send and listen. Each record family registers one RecordJson per class in a
// file of its own (<Family>Json.cpp); nested records are converted through
// ToJson / FromJson so that a family never needs to know another family's
// fields.
//
// JSON shape of one record: {"class": "CName", "id": 2034, ...fields...};
// a reply also has "result"; a record written with a version has "version".
// Nested records are nested objects of the same shape; lists are arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "serialize/Serialize.h"

struct RecordJson {
  uint32_t id;
  const char* className;
  // A default-constructed record of the class.
  std::unique_ptr<CSerialize> (*make)();
  // The record's fields as JSON ("class" and "id" are added by the caller).
  void (*toJson)(const CSerialize& record, nlohmann::ordered_json& out);
  // Fills the record from JSON; false with a reason in err for a missing or
  // ill-typed field.
  bool (*fromJson)(const nlohmann::ordered_json& in, CSerialize& record, std::string& err);
};

class RecordJsonRegistration {
 public:
  explicit RecordJsonRegistration(const RecordJson& entry);
};

namespace recordjson {

// The make function of a record that needs nothing but its default
// constructor.
template <typename T>
std::unique_ptr<CSerialize> Make() {
  return std::unique_ptr<CSerialize>(new T());
}

// By object id (bit 0x8000 ignored) or class name; null when unknown.
const RecordJson* FindById(uint32_t id);
const RecordJson* FindByName(const std::string& className);

// The full JSON of a record, "class" and "id" first. A record of an
// unregistered class gives {"class": "?", "id": N}.
nlohmann::ordered_json ToJson(const CSerialize& record);
// Builds a record from JSON by its "class" (or, missing that, "id").
std::unique_ptr<CSerialize> FromJson(const nlohmann::ordered_json& in, std::string& err);

// Field helpers that fail with a message naming the field.
bool GetField(const nlohmann::ordered_json& in, const char* name, int32_t& v, std::string& err);
bool GetField(const nlohmann::ordered_json& in, const char* name, uint32_t& v, std::string& err);
bool GetField(const nlohmann::ordered_json& in, const char* name, bool& v, std::string& err);
bool GetField(const nlohmann::ordered_json& in, const char* name, std::string& v, std::string& err);
bool GetField(const nlohmann::ordered_json& in, const char* name, uint8_t& v, std::string& err);

}  // namespace recordjson
