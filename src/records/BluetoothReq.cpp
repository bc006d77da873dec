#include "records/BluetoothReq.h"

#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CBluetoothReq_Send::CBluetoothReq_Send() : CBluetoothReq_Send(0, 0, 0) {}

CBluetoothReq_Send::CBluetoothReq_Send(uint32_t sessionId, uint32_t serialNumber, uint32_t command)
    : CSerialize(OBJID_CBluetoothReq_Send),
      m_uiSessionId(sessionId),
      m_uiSerialNumber(serialNumber),
      m_uiCommand(command),
      m_uiVersion(CURRENT_VERSION) {}

bool CBluetoothReq_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("sessionId", m_uiSessionId) &&
         v.Field("serialNumber", m_uiSerialNumber) && v.Field("command", m_uiCommand);
}

CBluetoothReq_Recv::CBluetoothReq_Recv(int32_t result)
    : CResponse(OBJID_CBluetoothReq_Recv, result), m_uiVersion(CURRENT_VERSION) {}

bool CBluetoothReq_Recv::VisitFields(CFieldVisitor& v) { return v.Begin(*this) && v.Field("result", m_iResult); }
