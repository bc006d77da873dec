// The JSON form of the system's records, used by decode, encode, cache show,
// send and listen. Every record names its fields once (its VisitFields);
// CJsonFieldWriter shows them and CJsonFieldReader takes them in, so the
// registry below only maps an object id to its class name and a factory.
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
};

namespace recordjson {

// By object id (bit 0x8000 ignored) or class name; null when unknown.
const RecordJson* FindById(uint32_t id);
const RecordJson* FindByName(const std::string& className);

// The full JSON of a record, "class" and "id" first. A record of an
// unregistered class gives {"class": "?", "id": N}.
nlohmann::ordered_json ToJson(const CSerialize& record);
// Builds a record from JSON by its "class" (or, missing that, "id").
std::unique_ptr<CSerialize> FromJson(const nlohmann::ordered_json& in, std::string& err);
// Fills record, a nested one that `what` names, from JSON that must describe
// a record of its class; false with a reason in err.
bool FillNested(const nlohmann::ordered_json& in, const std::string& what, CSerialize& record, std::string& err);

}  // namespace recordjson
