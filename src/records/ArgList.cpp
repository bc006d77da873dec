#include "records/ArgList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CArgList::CArg::CArg() : CSerialize(OBJID_CArgList_CArg), m_uiVersion(CURRENT_VERSION) {}

CArgList::CArg::CArg(const std::string& name, const std::string& value) : CArg() {
  m_strName = name;
  m_strValue = value;
}

bool CArgList::CArg::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("name", m_strName) &&
         v.Field("value", m_strValue);
}

CArgList::CArgList() : CResponse(OBJID_CArgList), m_uiVersion(CURRENT_VERSION) {}

bool CArgList::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Args.clear();
  return SerializeFields(ar);
}

bool CArgList::VisitFields(CFieldVisitor& v) {
  auto args = field::Records<CArg>(
      m_Args, [](std::map<std::string, CArg>& m, CArg& a) { return m[a.m_strName] = a, true; },
      record_count::MapNode<std::string, CArg>());
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.Field("listName", m_strListName) && v.List("args", args);
}

bool CArgList::GetValue(const std::string& name, std::string& value) const {
  auto it = m_Args.find(name);
  if (it == m_Args.end()) return false;
  value = it->second.m_strValue;
  return true;
}

void CArgList::SetValue(const std::string& name, const std::string& value) { m_Args[name] = CArg(name, value); }

bool CArgList::operator==(const CArgList& o) const {
  if (m_Args.size() != o.m_Args.size()) return false;
  for (auto a = m_Args.begin(), b = o.m_Args.begin(); a != m_Args.end(); ++a, ++b)
    if (a->first != b->first || !(a->second == b->second)) return false;
  return true;
}
