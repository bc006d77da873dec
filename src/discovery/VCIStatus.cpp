#include "discovery/VCIStatus.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "service_clients/RecordCount.h"

CVCIStatus::CVCIStatus()
    : CSerialize(OBJID_CVCIStatus), m_bBluetooth(false), m_bLegacy(false), m_uiKinds(0),
      m_uiVersion(CURRENT_VERSION), m_uiSerial(0), m_uiModuleState(0), m_uiModuleType(0) {}

CVCIStatus::CVCIStatus(uint32_t serial, uint32_t moduleState, const CCompList& sysComps, const CAppList& apps,
                       const CCompList& appComps, const CArgList& deviceInfo, const CSessionList& sessions,
                       const CArgList& wireless, uint32_t moduleType)
    : CVCIStatus() {
  m_uiSerial = serial;
  m_uiModuleState = moduleState;
  m_SysComps = sysComps;
  m_Apps = apps;
  m_AppComps = appComps;
  m_DeviceInfo = deviceInfo;
  m_Sessions = sessions;
  m_Wireless = wireless;
  m_uiModuleType = moduleType;
}

void CVCIStatus::AssignKeepingKinds(const CVCIStatus& src) {
  uint32_t kinds = m_uiKinds | src.m_uiKinds;
  *this = src;
  m_uiKinds = kinds;
}

bool CVCIStatus::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!ar.Write(GetId()) || !ar.Write(static_cast<uint32_t>(CURRENT_VERSION))) return false;
    if (!ar.Write(m_uiSerial) || !ar.Write(m_uiModuleState) || !m_Apps.Serialize(ar) || !m_Sessions.Serialize(ar) ||
        !m_AppComps.Serialize(ar) || !m_SysComps.Serialize(ar) || !m_DeviceInfo.Serialize(ar) ||
        !ar.Write(m_uiKinds) || !ar.Write(m_bLegacy) || !ar.Write(m_bBluetooth) ||
        !ar.Write(static_cast<uint32_t>(m_Addresses.size())))
      return false;
    for (auto& kv : m_Addresses)
      if (!ar.Write(kv.first) || !ar.Write(kv.second)) return false;
    return m_Wireless.Serialize(ar) && ar.Write(m_uiModuleType);
  }
  *this = CVCIStatus();
  if (!CheckId(ar) || !ar.Read(m_uiVersion)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!ar.Read(m_uiSerial) || !ar.Read(m_uiModuleState) || !m_Apps.Serialize(ar) || !m_Sessions.Serialize(ar) ||
      !m_AppComps.Serialize(ar) || !m_SysComps.Serialize(ar) || !m_DeviceInfo.Serialize(ar) || !ar.Read(m_uiKinds) ||
      !ar.Read(m_bLegacy) || !ar.Read(m_bBluetooth) || !record_count::Read(ar, count, 8))
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
