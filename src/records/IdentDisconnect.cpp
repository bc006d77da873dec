#include "records/IdentDisconnect.h"

#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CIdentDisconnect_Send::CIdentDisconnect_Send(uint32_t sessionId)
    : CSerialize(OBJID_CIdentDisconnect_Send), m_uiSessionId(sessionId) {}

bool CIdentDisconnect_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Field("sessionId", m_uiSessionId);
}

CIdentDisconnect_Recv::CIdentDisconnect_Recv(int32_t result) : CResponse(OBJID_CIdentDisconnect_Recv, result) {}

bool CIdentDisconnect_Recv::VisitFields(CFieldVisitor& v) { return v.Begin(*this) && v.Field("result", m_iResult); }
