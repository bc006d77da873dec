#include "records/VCIStatus.h"

#include "serialize/ArchiveBuffer.h"
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
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(m_uiSerial) || !ar.Write(m_uiModuleState) ||
        !m_Apps.Serialize(ar) || !m_Sessions.Serialize(ar) || !m_AppComps.Serialize(ar) ||
        !m_SysComps.Serialize(ar) || !m_DeviceInfo.Serialize(ar) || !ar.Write(m_uiKinds) || !ar.Write(m_bLegacy) ||
        !ar.Write(m_bBluetooth) || !ar.Write(static_cast<uint32_t>(m_Addresses.size())))
      return false;
    for (auto& kv : m_Addresses)
      if (!ar.Write(kv.first) || !ar.Write(kv.second)) return false;
    return m_Wireless.Serialize(ar) && ar.Write(m_uiModuleType);
  }
  *this = CVCIStatus();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!ar.Read(m_uiSerial) || !ar.Read(m_uiModuleState) || !m_Apps.Serialize(ar) || !m_Sessions.Serialize(ar) ||
      !m_AppComps.Serialize(ar) || !m_SysComps.Serialize(ar) || !m_DeviceInfo.Serialize(ar) || !ar.Read(m_uiKinds) ||
      !ar.Read(m_bLegacy) || !ar.Read(m_bBluetooth) ||
      !record_count::Read(ar, count, 8, record_count::MapNode<uint32_t, std::string>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t kind;
    std::string address;
    if (!ar.Read(kind) || !ar.Read(address)) return false;
    m_Addresses[kind] = address;
  }
  if (m_uiVersion >= 2 && !m_Wireless.Serialize(ar)) return false;
  if (m_uiVersion >= 3 && !ar.Read(m_uiModuleType)) return false;
  return true;
}
