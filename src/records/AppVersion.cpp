#include "records/AppVersion.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

bool WriteList(CArchiveBuffer& ar, const std::vector<std::string>& list) {
  if (!ar.Write(static_cast<uint32_t>(list.size()))) return false;
  for (const auto& s : list)
    if (!ar.Write(s)) return false;
  return true;
}

bool ReadList(CArchiveBuffer& ar, std::vector<std::string>& list) {
  list.clear();
  uint32_t count;
  if (!record_count::Read(ar, count, record_count::MIN_STRING_SIZE, record_count::VectorSlot<std::string>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string s;
    if (!ar.Read(s)) return false;
    list.push_back(s);
  }
  return true;
}

}  // namespace

CAppVersion::CAppVersion() : CResponse(OBJID_CAppVersion), m_uiVersion(CURRENT_VERSION) {}

CAppVersion::CAppVersion(const std::string& name, const std::string& versionText) : CAppVersion() {
  m_strName = name;
  m_strVersionText = versionText;
}

bool CAppVersion::Serialize(CArchiveBuffer& ar) {
  std::string* texts[] = {&m_strVersionText, &m_strText2, &m_strText3, &m_strText4, &m_strText5,
                          &m_strName,        &m_strText7, &m_strText8, &m_strText9};
  if (ar.IsStoring()) {
    if (!CSerialize::SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
    for (std::string* t : texts)
      if (!ar.Write(*t)) return false;
    return WriteList(ar, m_TextList1) && WriteList(ar, m_TextList2);
  }
  if (!CSerialize::SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  for (std::string* t : texts)
    if (!ar.Read(*t)) return false;
  return ReadList(ar, m_TextList1) && ReadList(ar, m_TextList2);
}

bool CAppVersion::operator==(const CAppVersion& o) const {
  return m_strVersionText == o.m_strVersionText && m_strText2 == o.m_strText2 &&
         m_strText3 == o.m_strText3 && m_strText4 == o.m_strText4 && m_strText5 == o.m_strText5 &&
         m_strName == o.m_strName && m_strText7 == o.m_strText7 && m_strText8 == o.m_strText8 &&
         m_strText9 == o.m_strText9 && m_TextList1 == o.m_TextList1 && m_TextList2 == o.m_TextList2;
}
