#include "service_clients/ServiceRequests.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

bool CVersionOnlyRequest::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return ar.Write(GetId()) && ar.Write(m_uiVersion);
  return CheckId(ar) && ar.Read(m_uiVersion);
}

CGetApplications_Send::CGetApplications_Send() : CVersionOnlyRequest(OBJID_CGetApplications_Send) {}
CGetAppComps_Send::CGetAppComps_Send() : CVersionOnlyRequest(OBJID_CGetAppComps_Send) {}
CGetSysComps_Send::CGetSysComps_Send() : CVersionOnlyRequest(OBJID_CGetSysComps_Send) {}

CGetConfigNEW_Send::CGetConfigNEW_Send(uint32_t key)
    : CSerialize(OBJID_CGetConfigNEW_Send), m_uiVersion(CURRENT_VERSION), m_uiKey(key) {}

bool CGetConfigNEW_Send::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!ar.Write(GetId()) || !ar.Write(m_uiVersion)) return false;
    return m_uiVersion == 0 || ar.Write(m_uiKey);
  }
  if (!CheckId(ar) || !ar.Read(m_uiVersion)) return false;
  return m_uiVersion == 0 || ar.Read(m_uiKey);
}
