#include "records/VCIStatus.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

// A component list's own assignment keeps the target's result code; a status
// copies every field, the result codes of its lists included, so that a copy
// writes what the original does.
void CopyList(CCompList& to, const CCompList& from) {
  to = from;
  to.SetResult(from.GetResult());
}

}  // namespace

CVCIStatus::CVCIStatus()
    : CSerialize(OBJID_CVCIStatus), m_bBluetooth(false), m_bLegacy(false), m_uiKinds(0),
      m_uiVersion(CURRENT_VERSION), m_uiSerial(0), m_uiModuleState(0), m_uiModuleType(0) {}

CVCIStatus::CVCIStatus(uint32_t serial, uint32_t moduleState, const CCompList& sysComps, const CAppList& apps,
                       const CCompList& appComps, const CArgList& deviceInfo, const CSessionList& sessions,
                       const CArgList& wireless, uint32_t moduleType)
    : CVCIStatus() {
  m_uiSerial = serial;
  m_uiModuleState = moduleState;
  CopyList(m_SysComps, sysComps);
  m_Apps = apps;
  CopyList(m_AppComps, appComps);
  m_DeviceInfo = deviceInfo;
  m_Sessions = sessions;
  m_Wireless = wireless;
  m_uiModuleType = moduleType;
}

CVCIStatus& CVCIStatus::operator=(const CVCIStatus& o) {
  CSerialize::operator=(o);
  m_bBluetooth = o.m_bBluetooth;
  m_bLegacy = o.m_bLegacy;
  m_uiKinds = o.m_uiKinds;
  m_uiVersion = o.m_uiVersion;
  m_uiSerial = o.m_uiSerial;
  m_DeviceInfo = o.m_DeviceInfo;
  m_Addresses = o.m_Addresses;
  m_Sessions = o.m_Sessions;
  m_Apps = o.m_Apps;
  CopyList(m_AppComps, o.m_AppComps);
  CopyList(m_SysComps, o.m_SysComps);
  m_uiModuleState = o.m_uiModuleState;
  m_Wireless = o.m_Wireless;
  m_uiModuleType = o.m_uiModuleType;
  return *this;
}

void CVCIStatus::AssignKeepingKinds(const CVCIStatus& src) {
  uint32_t kinds = m_uiKinds | src.m_uiKinds;
  *this = src;
  m_uiKinds = kinds;
}

bool CVCIStatus::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) *this = CVCIStatus();
  return SerializeFields(ar);
}

bool CVCIStatus::VisitFields(CFieldVisitor& v) {
  // Each address takes at least its kind and its string count.
  auto addresses = field::List<std::pair<uint32_t, std::string>>(
      m_Addresses,
      [](CFieldVisitor& v, auto& e) { return field::Key(v, "kind", e.first) && v.Field("address", e.second); },
      [](std::map<uint32_t, std::string>& m, std::pair<uint32_t, std::string>& e) {
        return m[e.first] = e.second, true;
      },
      8, record_count::MapNode<uint32_t, std::string>());
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("serial", m_uiSerial) &&
         v.Field("moduleState", m_uiModuleState) && v.Field("apps", m_Apps) && v.Field("sessions", m_Sessions) &&
         v.Field("appComps", m_AppComps) && v.Field("sysComps", m_SysComps) && v.Field("deviceInfo", m_DeviceInfo) &&
         v.Field("kinds", m_uiKinds) && v.Field("legacy", m_bLegacy) && v.Field("bluetooth", m_bBluetooth) &&
         v.List("addresses", addresses) && v.Since(2) && v.Field("wireless", m_Wireless) && v.Since(3) &&
         v.Field("moduleType", m_uiModuleType);
}
