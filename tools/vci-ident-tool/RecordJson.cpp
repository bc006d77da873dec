#include "RecordJson.h"

#include "JsonFieldReader.h"
#include "JsonFieldWriter.h"
#include "JsonText.h"
#include "netif/IFList.h"
#include "records/AppList.h"
#include "records/AppVersion.h"
#include "records/ArgList.h"
#include "records/BindMap.h"
#include "records/BluetoothReq.h"
#include "records/CompList.h"
#include "records/Config.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/InvalidVCIList.h"
#include "records/LogFile.h"
#include "records/RecoveryStatus.h"
#include "records/SessionList.h"
#include "records/VCICachedItem.h"
#include "records/VCICachedMap.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMap.h"
#include "records/VCIStatusMsg.h"
#include "serialize/ObjectId.h"
#include "service_clients/ServiceRequests.h"

namespace {

template <typename T>
std::unique_ptr<CSerialize> Make() {
  return std::unique_ptr<CSerialize>(new T());
}

// The service's built-in link-quality zones, lent to every announcement the
// tool reads.
const uint32_t kDefaultZones[] = {30, 50, 60, 100};

std::unique_ptr<CSerialize> MakeIdentMsg() {
  std::unique_ptr<CVCIIdentMsg> msg(new CVCIIdentMsg());
  msg->SetLinkQualityZones(sizeof kDefaultZones / sizeof kDefaultZones[0], kDefaultZones);
  return std::unique_ptr<CSerialize>(msg.release());
}

#define RECORD(cls, id) \
  { id, #cls, Make<cls> }
const RecordJson kRecords[] = {
    RECORD(CArgList::CArg, OBJID_CArgList_CArg),
    RECORD(CArgList, OBJID_CArgList),
    RECORD(CSessionList::CSession, OBJID_CSessionList_CSession),
    RECORD(CSessionList, OBJID_CSessionList),
    RECORD(CVCIStatus, OBJID_CVCIStatus),
    RECORD(CVCIStatusMap, OBJID_CVCIStatusMap),
    RECORD(CVCIStatusDynItem, OBJID_CVCIStatusDynItem),
    RECORD(CVCIStatusDynMap, OBJID_CVCIStatusDynMap),
    RECORD(CBindMap, OBJID_CBindMap),
    RECORD(CVCICachedItem, OBJID_CVCICachedItem),
    RECORD(CVCICachedMap, OBJID_CVCICachedMap),
    RECORD(CInvalidVCIList, OBJID_CInvalidVCIList),
    {OBJID_CVCIIdentMsg, "CVCIIdentMsg", MakeIdentMsg},
    RECORD(CClientInfo, OBJID_CClientInfo),
    RECORD(CVCIStatusMsg, OBJID_CVCIStatusMsg),
    RECORD(CRecoveryStatus, OBJID_CRecoveryStatus),
    RECORD(CAppVersion, OBJID_CAppVersion),
    RECORD(CAppList::CApp, OBJID_CAppList_CApp),
    RECORD(CAppList, OBJID_CAppList),
    RECORD(CCompList::CComp, OBJID_CCompList_CComp),
    RECORD(CCompList, OBJID_CCompList),
    RECORD(CGetApplications_Send, OBJID_CGetApplications_Send),
    RECORD(CGetAppComps_Send, OBJID_CGetAppComps_Send),
    RECORD(CGetSysComps_Send, OBJID_CGetSysComps_Send),
    RECORD(CGetConfigNEW_Send, OBJID_CGetConfigNEW_Send),
    RECORD(CConfig, OBJID_CConfig),
    RECORD(CIdentDisconnect_Send, OBJID_CIdentDisconnect_Send),
    RECORD(CIdentDisconnect_Recv, OBJID_CIdentDisconnect_Recv),
    RECORD(CBluetoothReq_Send, OBJID_CBluetoothReq_Send),
    RECORD(CBluetoothReq_Recv, OBJID_CBluetoothReq_Recv),
    RECORD(CLogFile_Send, OBJID_CLogFile_Send),
    RECORD(CLogFile_Recv, OBJID_CLogFile_Recv),
    RECORD(CLogFiles_Recv, OBJID_CLogFiles_Recv),
    RECORD(CIdentConnect_Send, OBJID_CIdentConnect_Send),
    RECORD(CIdentConnect_Recv, OBJID_CIdentConnect_Recv),
    RECORD(CIdentEvent_Send, OBJID_CIdentEvent_Send),
    RECORD(CIdentEvent_Recv, OBJID_CIdentEvent_Recv),
    RECORD(CIFList::CIF, OBJID_CIFList_CIF),
    RECORD(CIFList, OBJID_CIFList),
};
#undef RECORD

// The entry that in names by "class" (or, missing that, "id"); null with
// the reason in err.
const RecordJson* Resolve(const nlohmann::ordered_json& in, std::string& err) {
  if (!in.is_object()) {
    err = "a record must be a JSON object";
    return nullptr;
  }
  const RecordJson* e = nullptr;
  auto cls = in.find("class");
  if (cls != in.end() && cls->is_string()) {
    e = recordjson::FindByName(cls->get<std::string>());
    if (!e) {
      err = "unknown class \"" + cls->get<std::string>() + "\"";
      return nullptr;
    }
  } else {
    auto id = in.find("id");
    if (id == in.end() || !id->is_number_integer() || id->get<long long>() < 0 ||
        id->get<long long>() > static_cast<long long>(UINT32_MAX)) {
      err = "a record needs \"class\" or \"id\"";
      return nullptr;
    }
    e = recordjson::FindById(id->get<uint32_t>());
    if (!e) {
      err = "unknown object id " + std::to_string(id->get<uint32_t>());
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
  return e;
}

// Fills record, of e's class, from in; the reason names the class.
bool Fill(const nlohmann::ordered_json& in, const RecordJson& e, CSerialize& record, std::string& err) {
  std::string why;
  CJsonFieldReader reader(in, e.className, why);
  if (record.VisitFields(reader)) return true;
  err = std::string(e.className) + ": " + why;
  return false;
}

}  // namespace

namespace recordjson {

const RecordJson* FindById(uint32_t id) {
  id &= ~0x8000u;
  for (const auto& e : kRecords)
    if (e.id == id) return &e;
  return nullptr;
}

const RecordJson* FindByName(const std::string& className) {
  for (const auto& e : kRecords)
    if (className == e.className) return &e;
  return nullptr;
}

nlohmann::ordered_json ToJson(const CSerialize& record) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  const RecordJson* e = FindById(record.GetId());
  out["class"] = e ? e->className : "?";
  out["id"] = record.GetId();
  // Showing a record changes nothing in it but the process-wide counters
  // that a write would count up too.
  CJsonFieldWriter writer(out);
  if (e) const_cast<CSerialize&>(record).VisitFields(writer);
  return out;
}

std::unique_ptr<CSerialize> FromJson(const nlohmann::ordered_json& in, std::string& err) {
  const RecordJson* e = Resolve(in, err);
  if (!e) return nullptr;
  std::unique_ptr<CSerialize> record = e->make();
  return Fill(in, *e, *record, err) ? std::move(record) : nullptr;
}

bool FillNested(const nlohmann::ordered_json& in, const std::string& what, CSerialize& record, std::string& err) {
  std::string why;
  const RecordJson* e = Resolve(in, why);
  if (e && e->id != record.GetId()) {
    // A record of another class is read whole first, so that its own faults
    // are named before its class is.
    std::unique_ptr<CSerialize> other = e->make();
    if (Fill(in, *e, *other, why)) {
      err = "field \"" + what + "\" holds a record of the wrong class";
      return false;
    }
  } else if (e && Fill(in, *e, record, why)) {
    return true;
  }
  err = "field \"" + what + "\": " + why;
  return false;
}

}  // namespace recordjson
