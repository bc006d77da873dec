#include "records/ArgList.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CArgList::CArg::CArg() : CSerialize(OBJID_CArgList_CArg), m_uiVersion(CURRENT_VERSION) {}

CArgList::CArg::CArg(const std::string& name, const std::string& value) : CArg() {
  m_strName = name;
  m_strValue = value;
}

bool CArgList::CArg::Serialize(CArchiveBuffer& ar) {
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (ar.IsStoring()) return ar.Write(m_strName) && ar.Write(m_strValue);
  return m_uiVersion == 0 || (ar.Read(m_strName) && ar.Read(m_strValue));
}

CArgList::CArgList() : CResponse(OBJID_CArgList), m_uiVersion(CURRENT_VERSION) {}

bool CArgList::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(m_strListName) ||
        !ar.Write(static_cast<uint32_t>(m_Args.size())))
      return false;
    for (auto& kv : m_Args)
      if (!kv.second.Serialize(ar)) return false;
    return true;
  }
  m_Args.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  if (!ar.Read(m_strListName) ||
      !record_count::Read(ar, count, record_count::MIN_RECORD_SIZE, record_count::MapNode<std::string, CArg>()))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    CArg arg;
    if (!arg.Serialize(ar)) return false;
    m_Args[arg.m_strName] = arg;
  }
  return true;
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
