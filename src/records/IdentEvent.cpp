#include "records/IdentEvent.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CIdentEvent_Recv::CIdentEvent_Recv(int32_t result) : CResponse(OBJID_CIdentEvent_Recv, result) {}

bool CIdentEvent_Recv::VisitFields(CFieldVisitor& v) { return v.Begin(*this) && v.Field("result", m_iResult); }

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

bool CIdentEvent_Send::VisitFields(CFieldVisitor& v) {
  CVCIStatusMap empty;
  if (!v.Begin(*this) || !v.Version(m_uiVersion, CURRENT_VERSION) || !v.Field("eventCode", m_uiEventCode) ||
      !v.Field("reserved", m_uiReserved))
    return false;
  if (m_uiEventCode == EVENT_TABLE_CHANGED) return v.Field("payload", m_VCIStatusMap);
  if (m_uiEventCode == EVENT_BINDINGS_CHANGED) return v.Field("payload", m_BindMap);
  return v.Written("payload", empty);
}
