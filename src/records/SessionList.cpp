#include "records/SessionList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CSessionList::CSession::CSession()
    : CSerialize(OBJID_CSessionList_CSession), m_uiVersion(CURRENT_VERSION), m_uiSession(0), m_uiKind(0),
      m_bFlag(false) {}

bool CSessionList::CSession::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("session", m_uiSession) &&
         v.Field("text1", m_strText1) && v.Field("text2", m_strText2) && v.Field("address", m_strAddress) &&
         v.Field("kind", m_uiKind) && v.Flag("flag", m_bFlag, 4);
}

bool CSessionList::CSession::operator==(const CSession& o) const {
  return m_strText1 == o.m_strText1 && m_strText2 == o.m_strText2 && m_strAddress == o.m_strAddress &&
         m_bFlag == o.m_bFlag && m_uiKind == o.m_uiKind;
}

CSessionList::CSessionList() : CResponse(OBJID_CSessionList), m_ucVersion(CURRENT_VERSION) {}

bool CSessionList::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Sessions.clear();
  return SerializeFields(ar);
}

bool CSessionList::VisitFields(CFieldVisitor& v) {
  auto sessions = field::Records<CSession>(
      m_Sessions, [](std::vector<CSession>& l, CSession& s) { return l.push_back(s), true; },
      record_count::VectorSlot<CSession>(), true);
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_ucVersion, CURRENT_VERSION) &&
         v.List("sessions", sessions);
}
