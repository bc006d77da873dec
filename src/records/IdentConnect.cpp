#include "records/IdentConnect.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CIdentConnect_Send::CIdentConnect_Send() : CIdentConnect_Send(0, std::string()) {}

CIdentConnect_Send::CIdentConnect_Send(uint32_t eventPort, const std::string& clientName, bool persistLog,
                                       uint32_t noReplyTimeout)
    : CSerialize(OBJID_CIdentConnect_Send),
      m_uiEventPort(eventPort),
      m_strClientName(clientName),
      m_uiVersion(CURRENT_VERSION),
      m_bPersistLog(persistLog),
      m_uiNoReplyTimeout(noReplyTimeout) {}

bool CIdentConnect_Send::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring())
    return ar.Write(m_uiEventPort) && ar.Write(m_strClientName) && ar.Write(m_bPersistLog) &&
           ar.Write(m_uiNoReplyTimeout);
  if (m_uiVersion >= 1 && !(ar.Read(m_uiEventPort) && ar.Read(m_strClientName))) return false;
  if (m_uiVersion >= 2 && !ar.Read(m_bPersistLog)) return false;
  if (m_uiVersion >= 3 && !ar.Read(m_uiNoReplyTimeout)) return false;
  return true;
}

CIdentConnect_Recv::CIdentConnect_Recv()
    : CResponse(OBJID_CIdentConnect_Recv),
      m_uiSessionId(0),
      m_uiVersion(CURRENT_VERSION),
      m_uiVersionNumber(0),
      m_uiBuildDate(0),
      m_uiInstanceToken(0),
      m_iBtInitError(0) {}

CIdentConnect_Recv::CIdentConnect_Recv(int32_t result, uint32_t sessionId, const CVCIStatusMap& table,
                                       const CBindMap& bindings, uint32_t versionNumber, uint32_t buildDate,
                                       const std::string& productName, int32_t btInitError, uint32_t instanceToken)
    : CResponse(OBJID_CIdentConnect_Recv, result),
      m_VCIStatusMap(table),
      m_BindMap(bindings),
      m_uiSessionId(sessionId),
      m_uiVersion(CURRENT_VERSION),
      m_uiVersionNumber(versionNumber),
      m_uiBuildDate(buildDate),
      m_uiInstanceToken(instanceToken),
      m_iBtInitError(btInitError),
      m_strProductName(productName) {}

bool CIdentConnect_Recv::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring())
    return ar.Write(m_uiSessionId) && ar.Write(m_uiVersionNumber) && ar.Write(m_uiBuildDate) &&
           ar.Write(m_uiInstanceToken) && ar.Write(m_strProductName) && m_VCIStatusMap.Serialize(ar) &&
           m_BindMap.Serialize(ar);
  if (m_uiVersion < 1) return true;
  return ar.Read(m_uiSessionId) && ar.Read(m_uiVersionNumber) && ar.Read(m_uiBuildDate) &&
         ar.Read(m_uiInstanceToken) && ar.Read(m_strProductName) && m_VCIStatusMap.Serialize(ar) &&
         m_BindMap.Serialize(ar);
}
