#include "records/IdentEvent.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CIdentEvent_Recv::CIdentEvent_Recv(int32_t result) : CResponse(OBJID_CIdentEvent_Recv, result) {}

bool CIdentEvent_Recv::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return ar.Write(GetId()) && CResponse::Serialize(ar);
  return CheckId(ar) && CResponse::Serialize(ar);
}

CIdentEvent_Send::CIdentEvent_Send() : CIdentEvent_Send(0, 0) {}

CIdentEvent_Send::CIdentEvent_Send(uint32_t eventCode, uint32_t reserved)
    : CSerialize(OBJID_CIdentEvent_Send), m_uiVersion(CURRENT_VERSION), m_uiReserved(reserved), m_uiEventCode(eventCode) {}

CIdentEvent_Send::CIdentEvent_Send(uint32_t eventCode, uint32_t reserved, const CVCIStatusMap& table)
    : CIdentEvent_Send(eventCode, reserved) {
  m_VCIStatusMap = table;
}

CIdentEvent_Send::CIdentEvent_Send(uint32_t eventCode, uint32_t reserved, const CBindMap& bindings)
    : CIdentEvent_Send(eventCode, reserved) {
  m_BindMap = bindings;
}

bool CIdentEvent_Send::StoreHead(CArchiveBuffer& ar) {
  return SerializeHead(ar, m_uiVersion, CURRENT_VERSION) && ar.Write(m_uiEventCode) && ar.Write(m_uiReserved);
}

bool CIdentEvent_Send::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!StoreHead(ar)) return false;
    if (m_uiEventCode == EVENT_TABLE_CHANGED) return m_VCIStatusMap.Serialize(ar);
    if (m_uiEventCode == EVENT_BINDINGS_CHANGED) return m_BindMap.Serialize(ar);
    CVCIStatusMap empty;
    return empty.Serialize(ar);
  }
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  // A version of 0 ends the message.
  if (m_uiVersion == 0) return true;
  if (!ar.Read(m_uiEventCode) || !ar.Read(m_uiReserved)) return false;
  // The empty table behind any other code is not read.
  if (m_uiEventCode == EVENT_TABLE_CHANGED) return m_VCIStatusMap.Serialize(ar);
  if (m_uiEventCode == EVENT_BINDINGS_CHANGED) return m_BindMap.Serialize(ar);
  return true;
}
