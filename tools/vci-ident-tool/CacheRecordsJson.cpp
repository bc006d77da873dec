// JSON form of the discovery engine's cache records: the detail cache with
// its items and the invalid-device list.
#include "NestedRecordJson.h"
#include "records/InvalidVCIList.h"
#include "records/VCICachedItem.h"
#include "records/VCICachedMap.h"
#include "serialize/ObjectId.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

// An item read with version 0 shows the empty status and announcement it
// holds, which encode writes out in full.
void CachedItemToJson(const CSerialize& r, json& out) {
  const auto& i = static_cast<const CVCICachedItem&>(r);
  out["version"] = i.m_uiVersion;
  out["status"] = recordjson::ToJson(i.m_Status);
  out["announcement"] = recordjson::ToJson(i.m_Announcement);
}
bool CachedItemFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& i = static_cast<CVCICachedItem&>(r);
  return GetField(in, "version", i.m_uiVersion, err) && recordjson::GetRecord(in, "status", i.m_Status, err) &&
         recordjson::GetRecord(in, "announcement", i.m_Announcement, err);
}
RecordJsonRegistration g_CachedItem({OBJID_CVCICachedItem, "CVCICachedItem", recordjson::Make<CVCICachedItem>, CachedItemToJson,
                                     CachedItemFromJson});

// The entries travel as an array of {"serial", "item"} in serial order; the
// serial number is the key on the wire, which need not be the item's own.
void CachedMapToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CVCICachedMap&>(r);
  out["version"] = m.m_uiVersion;
  out["entries"] = recordjson::SerialMapToJson(m.m_Map);
}
bool CachedMapFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CVCICachedMap&>(r);
  if (!GetField(in, "version", m.m_uiVersion, err)) return false;
  m.Clear();
  return recordjson::SerialMapFromJson<CVCICachedItem>(
      in, "entries", [&](uint32_t serial, const CVCICachedItem& item) { m.Set(serial, item); }, err);
}
RecordJsonRegistration g_CachedMap({OBJID_CVCICachedMap, "CVCICachedMap", recordjson::Make<CVCICachedMap>, CachedMapToJson,
                                    CachedMapFromJson});

void InvalidListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CInvalidVCIList&>(r);
  out["version"] = l.m_uiVersion;
  out["serials"] = l.m_Serials;
}
bool InvalidListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CInvalidVCIList&>(r);
  const json* serials;
  if (!GetField(in, "version", l.m_uiVersion, err) || !recordjson::GetArray(in, "serials", serials, err)) return false;
  l.Clear();
  for (size_t i = 0; i < serials->size(); ++i) {
    const json& e = (*serials)[i];
    if (!e.is_number_unsigned() || e.get<unsigned long long>() > UINT32_MAX) {
      err = recordjson::Element("serials", i) + " is not a 32-bit serial number";
      return false;
    }
    l.m_Serials.push_back(e.get<uint32_t>());
  }
  return true;
}
RecordJsonRegistration g_InvalidList({OBJID_CInvalidVCIList, "CInvalidVCIList", recordjson::Make<CInvalidVCIList>,
                                      InvalidListToJson, InvalidListFromJson});

}  // namespace
