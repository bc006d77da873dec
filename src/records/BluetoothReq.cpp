#include "records/BluetoothReq.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CBluetoothReq_Send::CBluetoothReq_Send() : CBluetoothReq_Send(0, 0, 0) {}

CBluetoothReq_Send::CBluetoothReq_Send(uint32_t sessionId, uint32_t serialNumber, uint32_t command)
    : CSerialize(OBJID_CBluetoothReq_Send),
      m_uiSessionId(sessionId),
      m_uiSerialNumber(serialNumber),
      m_uiCommand(command),
      m_uiVersion(CURRENT_VERSION) {}

bool CBluetoothReq_Send::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring()) return ar.Write(m_uiSessionId) && ar.Write(m_uiSerialNumber) && ar.Write(m_uiCommand);
  return m_uiVersion < 1 || (ar.Read(m_uiSessionId) && ar.Read(m_uiSerialNumber) && ar.Read(m_uiCommand));
}

CBluetoothReq_Recv::CBluetoothReq_Recv(int32_t result)
    : CResponse(OBJID_CBluetoothReq_Recv, result), m_uiVersion(CURRENT_VERSION) {}

bool CBluetoothReq_Recv::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) return ar.Write(GetId()) && CResponse::Serialize(ar);
  return CheckId(ar) && CResponse::Serialize(ar);
}
