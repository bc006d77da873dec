// JSON form of the interface list and its records.
#include <memory>

#include "RecordJson.h"
#include "netif/IFList.h"
#include "serialize/ObjectId.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

void IFToJson(const CSerialize& r, json& out) {
  const auto& i = static_cast<const CIFList::CIF&>(r);
  out["version"] = i.m_uiVersion;
  out["address"] = i.m_strAddress;
  out["mask"] = i.m_strMask;
  out["broadcast"] = i.m_strBroadcast;
  out["hwAddr"] = i.m_strHWAddr;
  out["kind"] = i.m_eIF;
  out["kindName"] = GetIFKindName(i.m_eIF);
  out["name"] = i.m_strName;
}

bool IFFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& i = static_cast<CIFList::CIF&>(r);
  // "kindName" is for the reader only; "kind" is what travels.
  return GetField(in, "version", i.m_uiVersion, err) && GetField(in, "address", i.m_strAddress, err) &&
         GetField(in, "mask", i.m_strMask, err) && GetField(in, "broadcast", i.m_strBroadcast, err) &&
         GetField(in, "hwAddr", i.m_strHWAddr, err) && GetField(in, "kind", i.m_eIF, err) &&
         GetField(in, "name", i.m_strName, err);
}

RecordJsonRegistration g_IF({OBJID_CIFList_CIF, "CIFList::CIF", recordjson::Make<CIFList::CIF>, IFToJson, IFFromJson});

void IFListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CIFList&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  json ifs = json::array();
  for (const auto& e : l.GetIFs()) ifs.push_back(recordjson::ToJson(e.second));
  out["interfaces"] = ifs;
}

bool IFListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CIFList&>(r);
  int32_t result;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err)) return false;
  l.SetResult(result);
  auto it = in.find("interfaces");
  if (it == in.end() || !it->is_array()) {
    err = "field \"interfaces\" is missing or not an array";
    return false;
  }
  l.Clear();
  for (const auto& e : *it) {
    std::unique_ptr<CSerialize> rec = recordjson::FromJson(e, err);
    auto* i = dynamic_cast<CIFList::CIF*>(rec.get());
    if (!i) {
      if (rec) err = "field \"interfaces\" holds a record that is not a CIFList::CIF";
      return false;
    }
    l.Put(*i);
  }
  return true;
}

RecordJsonRegistration g_IFList({OBJID_CIFList, "CIFList", recordjson::Make<CIFList>, IFListToJson, IFListFromJson});

}  // namespace
