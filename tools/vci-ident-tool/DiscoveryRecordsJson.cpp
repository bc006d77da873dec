// JSON form of the VCI status records: the argument and session lists that a
// status embeds, the status itself, the status table that clients receive,
// the engine's live table and the address bindings. Fields follow wire order.
#include "NestedRecordJson.h"
#include "records/ArgList.h"
#include "records/BindMap.h"
#include "records/SessionList.h"
#include "records/VCIStatus.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/ObjectId.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

bool GetInt64(const json& in, const char* name, int64_t& v, std::string& err) {
  auto it = in.find(name);
  if (it == in.end() || !it->is_number_integer()) {
    err = std::string("field \"") + name + (it == in.end() ? "\" is missing" : "\" is not an integer");
    return false;
  }
  v = it->get<int64_t>();
  return true;
}

// CArgList::CArg and CArgList: the pairs travel as an array of CArg records
// in name order; a read list files each pair under its name.
void ArgToJson(const CSerialize& r, json& out) {
  const auto& a = static_cast<const CArgList::CArg&>(r);
  out["version"] = a.m_uiVersion;
  out["name"] = a.m_strName;
  out["value"] = a.m_strValue;
}
bool ArgFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& a = static_cast<CArgList::CArg&>(r);
  return GetField(in, "version", a.m_uiVersion, err) && GetField(in, "name", a.m_strName, err) &&
         GetField(in, "value", a.m_strValue, err);
}
RecordJsonRegistration g_Arg({OBJID_CArgList_CArg, "CArgList::CArg", recordjson::Make<CArgList::CArg>, ArgToJson, ArgFromJson});

void ArgListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CArgList&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  out["listName"] = l.m_strListName;
  json args = json::array();
  for (const auto& kv : l.m_Args) args.push_back(recordjson::ToJson(kv.second));
  out["args"] = args;
}
bool ArgListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CArgList&>(r);
  int32_t result;
  const json* args;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err) ||
      !GetField(in, "listName", l.m_strListName, err) || !recordjson::GetArray(in, "args", args, err))
    return false;
  l.SetResult(result);
  l.Clear();
  for (size_t i = 0; i < args->size(); ++i) {
    CArgList::CArg arg;
    if (!recordjson::RecordFromJson((*args)[i], recordjson::Element("args", i), arg, err)) return false;
    l.m_Args[arg.m_strName] = arg;
  }
  return true;
}
RecordJsonRegistration g_ArgList({OBJID_CArgList, "CArgList", recordjson::Make<CArgList>, ArgListToJson, ArgListFromJson});

void SessionToJson(const CSerialize& r, json& out) {
  const auto& s = static_cast<const CSessionList::CSession&>(r);
  out["version"] = s.m_uiVersion;
  out["session"] = s.m_uiSession;
  out["text1"] = s.m_strText1;
  out["text2"] = s.m_strText2;
  out["address"] = s.m_strAddress;
  out["kind"] = s.m_uiKind;
  out["flag"] = s.m_bFlag;
}
bool SessionFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& s = static_cast<CSessionList::CSession&>(r);
  return GetField(in, "version", s.m_uiVersion, err) && GetField(in, "session", s.m_uiSession, err) &&
         GetField(in, "text1", s.m_strText1, err) && GetField(in, "text2", s.m_strText2, err) &&
         GetField(in, "address", s.m_strAddress, err) && GetField(in, "kind", s.m_uiKind, err) &&
         GetField(in, "flag", s.m_bFlag, err);
}
RecordJsonRegistration g_Session({OBJID_CSessionList_CSession, "CSessionList::CSession",
                                  recordjson::Make<CSessionList::CSession>, SessionToJson, SessionFromJson});

void SessionListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CSessionList&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_ucVersion;
  json sessions = json::array();
  for (const auto& s : l.m_Sessions) sessions.push_back(recordjson::ToJson(s));
  out["sessions"] = sessions;
}
bool SessionListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CSessionList&>(r);
  int32_t result;
  const json* sessions;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_ucVersion, err) ||
      !recordjson::GetArray(in, "sessions", sessions, err))
    return false;
  if (sessions->size() > CSessionList::MAX_SESSIONS) {
    err = "field \"sessions\" holds more than " + std::to_string(CSessionList::MAX_SESSIONS) +
          " sessions; the count travels in one byte";
    return false;
  }
  l.SetResult(result);
  l.m_Sessions.clear();
  for (size_t i = 0; i < sessions->size(); ++i) {
    CSessionList::CSession s;
    if (!recordjson::RecordFromJson((*sessions)[i], recordjson::Element("sessions", i), s, err)) return false;
    l.m_Sessions.push_back(s);
  }
  return true;
}
RecordJsonRegistration g_SessionList({OBJID_CSessionList, "CSessionList", recordjson::Make<CSessionList>, SessionListToJson,
                                      SessionListFromJson});

// CVCIStatus: the addresses travel as an array of {"kind", "address"} in
// ascending kind order.
void StatusToJson(const CSerialize& r, json& out) {
  const auto& s = static_cast<const CVCIStatus&>(r);
  out["version"] = s.m_uiVersion;
  out["serial"] = s.m_uiSerial;
  out["moduleState"] = s.m_uiModuleState;
  out["apps"] = recordjson::ToJson(s.m_Apps);
  out["sessions"] = recordjson::ToJson(s.m_Sessions);
  out["appComps"] = recordjson::ToJson(s.m_AppComps);
  out["sysComps"] = recordjson::ToJson(s.m_SysComps);
  out["deviceInfo"] = recordjson::ToJson(s.m_DeviceInfo);
  out["kinds"] = s.m_uiKinds;
  out["legacy"] = s.m_bLegacy;
  out["bluetooth"] = s.m_bBluetooth;
  json addresses = json::array();
  for (const auto& kv : s.m_Addresses) addresses.push_back({{"kind", kv.first}, {"address", kv.second}});
  out["addresses"] = addresses;
  out["wireless"] = recordjson::ToJson(s.m_Wireless);
  out["moduleType"] = s.m_uiModuleType;
}
bool StatusFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& s = static_cast<CVCIStatus&>(r);
  const json* addresses;
  if (!GetField(in, "version", s.m_uiVersion, err) || !GetField(in, "serial", s.m_uiSerial, err) ||
      !GetField(in, "moduleState", s.m_uiModuleState, err) || !recordjson::GetRecord(in, "apps", s.m_Apps, err) ||
      !recordjson::GetRecord(in, "sessions", s.m_Sessions, err) ||
      !recordjson::GetRecord(in, "appComps", s.m_AppComps, err) ||
      !recordjson::GetRecord(in, "sysComps", s.m_SysComps, err) ||
      !recordjson::GetRecord(in, "deviceInfo", s.m_DeviceInfo, err) || !GetField(in, "kinds", s.m_uiKinds, err) ||
      !GetField(in, "legacy", s.m_bLegacy, err) || !GetField(in, "bluetooth", s.m_bBluetooth, err) ||
      !recordjson::GetArray(in, "addresses", addresses, err))
    return false;
  s.m_Addresses.clear();
  for (size_t i = 0; i < addresses->size(); ++i) {
    const json& e = (*addresses)[i];
    uint32_t kind;
    std::string address;
    if (!recordjson::IsObject(e, recordjson::Element("addresses", i), err) || !GetField(e, "kind", kind, err) ||
        !GetField(e, "address", address, err))
      return false;
    s.m_Addresses[kind] = address;
  }
  return recordjson::GetRecord(in, "wireless", s.m_Wireless, err) && GetField(in, "moduleType", s.m_uiModuleType, err);
}
RecordJsonRegistration g_Status({OBJID_CVCIStatus, "CVCIStatus", recordjson::Make<CVCIStatus>, StatusToJson, StatusFromJson});

// CVCIStatusMap: the statuses in serial-number order; a read table files
// each under its own serial number.
void StatusMapToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CVCIStatusMap&>(r);
  out["version"] = m.m_uiVersion;
  json statuses = json::array();
  for (const auto& kv : m.m_Map) statuses.push_back(recordjson::ToJson(kv.second));
  out["statuses"] = statuses;
}
bool StatusMapFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CVCIStatusMap&>(r);
  const json* statuses;
  if (!GetField(in, "version", m.m_uiVersion, err) || !recordjson::GetArray(in, "statuses", statuses, err))
    return false;
  m.Clear();
  for (size_t i = 0; i < statuses->size(); ++i) {
    CVCIStatus s;
    if (!recordjson::RecordFromJson((*statuses)[i], recordjson::Element("statuses", i), s, err)) return false;
    m.m_Map[s.m_uiSerial] = s;
  }
  return true;
}
RecordJsonRegistration g_StatusMap({OBJID_CVCIStatusMap, "CVCIStatusMap", recordjson::Make<CVCIStatusMap>, StatusMapToJson,
                                    StatusMapFromJson});

// The live table: only the version and the status of an item travel (its
// per-kind table and device token stay in the engine).
void DynItemToJson(const CSerialize& r, json& out) {
  const auto& i = static_cast<const CVCIStatusDynItem&>(r);
  out["version"] = i.m_uiVersion;
  out["status"] = recordjson::ToJson(i.m_Status);
}
bool DynItemFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& i = static_cast<CVCIStatusDynItem&>(r);
  return GetField(in, "version", i.m_uiVersion, err) && recordjson::GetRecord(in, "status", i.m_Status, err);
}
RecordJsonRegistration g_DynItem({OBJID_CVCIStatusDynItem, "CVCIStatusDynItem", recordjson::Make<CVCIStatusDynItem>,
                                  DynItemToJson, DynItemFromJson});

// The items travel as an array of {"serial", "item"} in serial order.
void DynMapToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CVCIStatusDynMap&>(r);
  out["version"] = m.m_uiVersion;
  out["items"] = recordjson::SerialMapToJson(m.m_Map);
}
bool DynMapFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CVCIStatusDynMap&>(r);
  if (!GetField(in, "version", m.m_uiVersion, err)) return false;
  m.Clear();
  return recordjson::SerialMapFromJson<CVCIStatusDynItem>(
      in, "items", [&](uint32_t serial, const CVCIStatusDynItem& item) { m.m_Map[serial] = item; }, err);
}
RecordJsonRegistration g_DynMap({OBJID_CVCIStatusDynMap, "CVCIStatusDynMap", recordjson::Make<CVCIStatusDynMap>, DynMapToJson,
                                 DynMapFromJson});

// CBindMap: per foreign address in address order its bindings in the order
// they were made, each with the time point of its last confirmation.
void BindMapToJson(const CSerialize& r, json& out) {
  const auto& m = static_cast<const CBindMap&>(r);
  out["version"] = m.m_uiVersion;
  json foreigns = json::array();
  for (const auto& kv : m.m_Map) {
    json bindings = json::array();
    for (const auto& b : kv.second)
      bindings.push_back(
          {{"seconds", b.m_Confirmed.m_iSeconds}, {"nanoseconds", b.m_Confirmed.m_iNanoseconds}, {"local", b.m_strLocal}});
    foreigns.push_back({{"foreign", kv.first}, {"bindings", bindings}});
  }
  out["foreign"] = foreigns;
}
bool BindMapFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& m = static_cast<CBindMap&>(r);
  const json* foreigns;
  if (!GetField(in, "version", m.m_uiVersion, err) || !recordjson::GetArray(in, "foreign", foreigns, err))
    return false;
  m.Clear();
  for (size_t i = 0; i < foreigns->size(); ++i) {
    const json& e = (*foreigns)[i];
    std::string foreign;
    const json* bindings;
    if (!recordjson::IsObject(e, recordjson::Element("foreign", i), err) || !GetField(e, "foreign", foreign, err) ||
        !recordjson::GetArray(e, "bindings", bindings, err))
      return false;
    CBindMap::BindingList& list = m.GetOrCreate(foreign);
    for (size_t j = 0; j < bindings->size(); ++j) {
      const json& b = (*bindings)[j];
      CBindMap::Binding binding;
      if (!recordjson::IsObject(b, recordjson::Element("bindings", j), err) || !GetInt64(b, "seconds", binding.m_Confirmed.m_iSeconds, err) ||
          !GetInt64(b, "nanoseconds", binding.m_Confirmed.m_iNanoseconds, err) ||
          !GetField(b, "local", binding.m_strLocal, err))
        return false;
      list.push_back(binding);
    }
  }
  return true;
}
RecordJsonRegistration g_BindMap({OBJID_CBindMap, "CBindMap", recordjson::Make<CBindMap>, BindMapToJson, BindMapFromJson});

}  // namespace
