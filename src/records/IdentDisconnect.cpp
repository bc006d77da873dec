#include "records/IdentDisconnect.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CIdentDisconnect_Send::CIdentDisconnect_Send(uint32_t sessionId)
    : CSerialize(OBJID_CIdentDisconnect_Send), m_uiSessionId(sessionId) {}

bool CIdentDisconnect_Send::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return ar.Write(GetId()) && ar.Write(m_uiSessionId);
  return CheckId(ar) && ar.Read(m_uiSessionId);
}

CIdentDisconnect_Recv::CIdentDisconnect_Recv(int32_t result) : CResponse(OBJID_CIdentDisconnect_Recv, result) {}

bool CIdentDisconnect_Recv::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return ar.Write(GetId()) && CResponse::Serialize(ar);
  return CheckId(ar) && CResponse::Serialize(ar);
}
