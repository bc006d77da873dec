#include "service_clients/ServiceRequests.h"

#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

bool CVersionOnlyRequest::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION);
}

CGetApplications_Send::CGetApplications_Send() : CVersionOnlyRequest(OBJID_CGetApplications_Send) {}
CGetAppComps_Send::CGetAppComps_Send() : CVersionOnlyRequest(OBJID_CGetAppComps_Send) {}
CGetSysComps_Send::CGetSysComps_Send() : CVersionOnlyRequest(OBJID_CGetSysComps_Send) {}

CGetConfigNEW_Send::CGetConfigNEW_Send(uint32_t key)
    : CSerialize(OBJID_CGetConfigNEW_Send), m_uiVersion(CURRENT_VERSION), m_uiKey(key) {}

bool CGetConfigNEW_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("key", m_uiKey);
}
