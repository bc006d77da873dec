#include "records/IdentConnect.h"

#include "serialize/FieldVisitor.h"
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

bool CIdentConnect_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("eventPort", m_uiEventPort) &&
         v.Field("clientName", m_strClientName) && v.Since(2) && v.Field("persistLog", m_bPersistLog) &&
         v.Since(3) && v.Field("noReplyTimeout", m_uiNoReplyTimeout);
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

bool CIdentConnect_Recv::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.Field("sessionId", m_uiSessionId) && v.Field("versionNumber", m_uiVersionNumber) &&
         v.Field("buildDate", m_uiBuildDate) && v.Field("instanceToken", m_uiInstanceToken) &&
         v.Field("productName", m_strProductName) && v.Field("table", m_VCIStatusMap) &&
         v.Field("bindings", m_BindMap);
}
