#include "records/AppVersion.h"

#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CAppVersion::CAppVersion() : CResponse(OBJID_CAppVersion), m_uiVersion(CURRENT_VERSION) {}

CAppVersion::CAppVersion(const std::string& name, const std::string& versionText) : CAppVersion() {
  m_strName = name;
  m_strVersionText = versionText;
}

bool CAppVersion::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("versionText", m_strVersionText) &&
         v.Field("text2", m_strText2) && v.Field("text3", m_strText3) && v.Field("text4", m_strText4) &&
         v.Field("text5", m_strText5) && v.Field("name", m_strName) && v.Field("text7", m_strText7) &&
         v.Field("text8", m_strText8) && v.Field("text9", m_strText9) && v.Field("textList1", m_TextList1) &&
         v.Field("textList2", m_TextList2);
}

bool CAppVersion::operator==(const CAppVersion& o) const {
  return m_strVersionText == o.m_strVersionText && m_strText2 == o.m_strText2 &&
         m_strText3 == o.m_strText3 && m_strText4 == o.m_strText4 && m_strText5 == o.m_strText5 &&
         m_strName == o.m_strName && m_strText7 == o.m_strText7 && m_strText8 == o.m_strText8 &&
         m_strText9 == o.m_strText9 && m_TextList1 == o.m_TextList1 && m_TextList2 == o.m_TextList2;
}
