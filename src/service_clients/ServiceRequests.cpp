#include "service_clients/ServiceRequests.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

bool CVersionOnlyRequest::Serialize(CArchiveBuffer& ar) {
  return SerializeHead(ar, m_uiVersion, CURRENT_VERSION);
}

CGetApplications_Send::CGetApplications_Send() : CVersionOnlyRequest(OBJID_CGetApplications_Send) {}
CGetAppComps_Send::CGetAppComps_Send() : CVersionOnlyRequest(OBJID_CGetAppComps_Send) {}
CGetSysComps_Send::CGetSysComps_Send() : CVersionOnlyRequest(OBJID_CGetSysComps_Send) {}

CGetConfigNEW_Send::CGetConfigNEW_Send(uint32_t key)
    : CSerialize(OBJID_CGetConfigNEW_Send), m_uiVersion(CURRENT_VERSION), m_uiKey(key) {}

bool CGetConfigNEW_Send::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring()) return ar.Write(m_uiKey);
  return m_uiVersion == 0 || ar.Read(m_uiKey);
}
