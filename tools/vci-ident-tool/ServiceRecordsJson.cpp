// JSON form of the application and component records and of the requests to
// a VCI's application and configuration services.
#include "NestedRecordJson.h"
#include "serialize/ObjectId.h"
#include "records/AppList.h"
#include "records/AppVersion.h"
#include "records/CompList.h"
#include "records/Config.h"
#include "service_clients/ServiceRequests.h"

using json = nlohmann::ordered_json;
using recordjson::GetField;

namespace {

// CAppVersion: the texts by name, in wire order.
struct TextField {
  const char* name;
  std::string CAppVersion::*member;
};
const TextField kAppVersionTexts[] = {
    {"versionText", &CAppVersion::m_strVersionText}, {"text2", &CAppVersion::m_strText2},
    {"text3", &CAppVersion::m_strText3},             {"text4", &CAppVersion::m_strText4},
    {"text5", &CAppVersion::m_strText5},             {"name", &CAppVersion::m_strName},
    {"text7", &CAppVersion::m_strText7},             {"text8", &CAppVersion::m_strText8},
    {"text9", &CAppVersion::m_strText9}};

void AppVersionToJson(const CSerialize& r, json& out) {
  const auto& v = static_cast<const CAppVersion&>(r);
  out["version"] = v.m_uiVersion;
  for (const auto& t : kAppVersionTexts) out[t.name] = v.*t.member;
  out["textList1"] = v.m_TextList1;
  out["textList2"] = v.m_TextList2;
}
bool AppVersionFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& v = static_cast<CAppVersion&>(r);
  if (!GetField(in, "version", v.m_uiVersion, err)) return false;
  for (const auto& t : kAppVersionTexts)
    if (!GetField(in, t.name, v.*t.member, err)) return false;
  return recordjson::GetStringList(in, "textList1", v.m_TextList1, err) &&
         recordjson::GetStringList(in, "textList2", v.m_TextList2, err);
}
RecordJsonRegistration g_AppVersion({OBJID_CAppVersion, "CAppVersion", recordjson::Make<CAppVersion>, AppVersionToJson,
                                     AppVersionFromJson});

void AppToJson(const CSerialize& r, json& out) {
  const auto& a = static_cast<const CAppList::CApp&>(r);
  out["version"] = a.m_uiVersion;
  out["appVersion"] = recordjson::ToJson(a.m_AppVersion);
  out["flag1"] = a.m_bFlag1;
  out["text"] = a.m_strText;
  out["number1"] = a.m_uiNumber1;
  out["flag2"] = a.m_bFlag2;
  out["number2"] = a.m_uiNumber2;
  out["number3"] = a.m_iNumber3;
}
bool AppFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& a = static_cast<CAppList::CApp&>(r);
  return GetField(in, "version", a.m_uiVersion, err) &&
         recordjson::GetRecord(in, "appVersion", a.m_AppVersion, err) && GetField(in, "flag1", a.m_bFlag1, err) &&
         GetField(in, "text", a.m_strText, err) && GetField(in, "number1", a.m_uiNumber1, err) &&
         GetField(in, "flag2", a.m_bFlag2, err) && GetField(in, "number2", a.m_uiNumber2, err) &&
         GetField(in, "number3", a.m_iNumber3, err);
}
RecordJsonRegistration g_App({OBJID_CAppList_CApp, "CAppList::CApp", recordjson::Make<CAppList::CApp>, AppToJson, AppFromJson});

void AppListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CAppList&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  json apps = json::array();
  for (const auto& e : l.GetApps()) apps.push_back(recordjson::ToJson(e.second));
  out["apps"] = apps;
}
bool AppListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CAppList&>(r);
  int32_t result;
  const json* apps;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err) ||
      !recordjson::GetArray(in, "apps", apps, err))
    return false;
  l.SetResult(result);
  l.Clear();
  for (size_t i = 0; i < apps->size(); ++i) {
    CAppList::CApp app;
    if (!recordjson::RecordFromJson((*apps)[i], "apps[" + std::to_string(i) + "]", app, err)) return false;
    l.Add(app);
  }
  return true;
}
RecordJsonRegistration g_AppList({OBJID_CAppList, "CAppList", recordjson::Make<CAppList>, AppListToJson, AppListFromJson});

void CompToJson(const CSerialize& r, json& out) {
  const auto& c = static_cast<const CCompList::CComp&>(r);
  out["version"] = c.m_uiVersion;
  out["appVersion"] = recordjson::ToJson(c.m_AppVersion);
}
bool CompFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& c = static_cast<CCompList::CComp&>(r);
  return GetField(in, "version", c.m_uiVersion, err) && recordjson::GetRecord(in, "appVersion", c.m_AppVersion, err);
}
RecordJsonRegistration g_Comp({OBJID_CCompList_CComp, "CCompList::CComp", recordjson::Make<CCompList::CComp>, CompToJson,
                               CompFromJson});

void CompListToJson(const CSerialize& r, json& out) {
  const auto& l = static_cast<const CCompList&>(r);
  out["result"] = l.GetResult();
  out["version"] = l.m_uiVersion;
  json comps = json::array();
  for (const auto& e : l.GetComps()) comps.push_back(recordjson::ToJson(e.second));
  out["comps"] = comps;
}
bool CompListFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& l = static_cast<CCompList&>(r);
  int32_t result;
  const json* comps;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", l.m_uiVersion, err) ||
      !recordjson::GetArray(in, "comps", comps, err))
    return false;
  l.SetResult(result);
  l.Clear();
  for (size_t i = 0; i < comps->size(); ++i) {
    CCompList::CComp comp;
    if (!recordjson::RecordFromJson((*comps)[i], "comps[" + std::to_string(i) + "]", comp, err)) return false;
    l.Add(comp);
  }
  return true;
}
RecordJsonRegistration g_CompList({OBJID_CCompList, "CCompList", recordjson::Make<CCompList>, CompListToJson,
                                   CompListFromJson});

void VersionOnlyToJson(const CSerialize& r, json& out) {
  out["version"] = static_cast<const CVersionOnlyRequest&>(r).m_uiVersion;
}
bool VersionOnlyFromJson(const json& in, CSerialize& r, std::string& err) {
  return GetField(in, "version", static_cast<CVersionOnlyRequest&>(r).m_uiVersion, err);
}
RecordJsonRegistration g_GetApplications({OBJID_CGetApplications_Send, "CGetApplications_Send",
                                          recordjson::Make<CGetApplications_Send>, VersionOnlyToJson, VersionOnlyFromJson});
RecordJsonRegistration g_GetAppComps({OBJID_CGetAppComps_Send, "CGetAppComps_Send", recordjson::Make<CGetAppComps_Send>,
                                      VersionOnlyToJson, VersionOnlyFromJson});
RecordJsonRegistration g_GetSysComps({OBJID_CGetSysComps_Send, "CGetSysComps_Send", recordjson::Make<CGetSysComps_Send>,
                                      VersionOnlyToJson, VersionOnlyFromJson});

void GetConfigToJson(const CSerialize& r, json& out) {
  const auto& g = static_cast<const CGetConfigNEW_Send&>(r);
  out["version"] = g.m_uiVersion;
  out["key"] = g.m_uiKey;
}
bool GetConfigFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& g = static_cast<CGetConfigNEW_Send&>(r);
  return GetField(in, "version", g.m_uiVersion, err) && GetField(in, "key", g.m_uiKey, err);
}
RecordJsonRegistration g_GetConfig({OBJID_CGetConfigNEW_Send, "CGetConfigNEW_Send", recordjson::Make<CGetConfigNEW_Send>,
                                    GetConfigToJson, GetConfigFromJson});

// The sections travel as an array of {"key", "list"} in ascending key order.
void ConfigToJson(const CSerialize& r, json& out) {
  const auto& c = static_cast<const CConfig&>(r);
  out["result"] = c.GetResult();
  out["version"] = c.m_uiVersion;
  json sections = json::array();
  for (const auto& e : c.GetSections()) sections.push_back({{"key", e.first}, {"list", recordjson::ToJson(e.second)}});
  out["sections"] = sections;
}
bool ConfigFromJson(const json& in, CSerialize& r, std::string& err) {
  auto& c = static_cast<CConfig&>(r);
  int32_t result;
  const json* sections;
  if (!GetField(in, "result", result, err) || !GetField(in, "version", c.m_uiVersion, err) ||
      !recordjson::GetArray(in, "sections", sections, err))
    return false;
  c.SetResult(result);
  c.Clear();
  for (size_t i = 0; i < sections->size(); ++i) {
    const json& e = (*sections)[i];
    uint32_t key;
    CArgList list;
    if (!e.is_object()) {
      err = "sections[" + std::to_string(i) + "] is not an object";
      return false;
    }
    if (!GetField(e, "key", key, err) || !recordjson::GetRecord(e, "list", list, err)) return false;
    c.Set(key, list);
  }
  return true;
}
RecordJsonRegistration g_Config({OBJID_CConfig, "CConfig", recordjson::Make<CConfig>, ConfigToJson, ConfigFromJson});

}  // namespace
