#include "records/CompList.h"

#include <cctype>

#include "host/TraceLog.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CCompList::CComp::CComp() : CSerialize(OBJID_CCompList_CComp), m_uiVersion(CURRENT_VERSION) {}

CCompList::CComp::CComp(const CAppVersion& appVersion) : CComp() { m_AppVersion = appVersion; }

bool CCompList::CComp::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("appVersion", m_AppVersion);
}

bool CCompList::CComp::IsOlderThan(const CComp& other) const {
  if (m_AppVersion.GetFifthText() != other.m_AppVersion.GetFifthText() || GetName() != other.GetName()) return false;
  uint32_t mine, theirs;
  if (!ParseVersionNumber(m_AppVersion.GetVersionText(), mine) ||
      !ParseVersionNumber(other.m_AppVersion.GetVersionText(), theirs))
    return false;
  return mine < theirs;
}

bool CCompList::ParseVersionNumber(const std::string& text, uint32_t& number) {
  auto isSeparator = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '.' || c == ','; };
  uint32_t result = 0;
  bool anyToken = false;
  size_t i = 0;
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    unsigned char first = static_cast<unsigned char>(text[i]);
    uint32_t value = 0;
    if (std::isdigit(first)) {
      for (size_t k = i; k < end && std::isdigit(static_cast<unsigned char>(text[k])); ++k)
        value = value * 10 + static_cast<uint32_t>(text[k] - '0');
    } else if (first >= 'a' && first <= 'f') {
      value = 10 + (first - 'a');
    } else if (first >= 'A' && first <= 'F') {
      value = 10 + (first - 'A');
    }
    result = (result << 8) | value;
    anyToken = true;
    i = end;
  }
  if (!anyToken) return false;
  number = result;
  return true;
}

CCompList::CCompList() : CResponse(OBJID_CCompList), m_uiVersion(CURRENT_VERSION) {}

CCompList& CCompList::operator=(const CCompList& other) {
  if (this == &other) return *this;
  m_uiVersion = other.m_uiVersion;
  m_Comps.clear();
  for (const auto& entry : other.m_Comps) Add(entry.second);
  return *this;
}

bool CCompList::Add(const CComp& comp) {
  auto it = m_Comps.find(comp.GetName());
  if (it == m_Comps.end()) {
    m_Comps.emplace(comp.GetName(), comp);
    return true;
  }
  const std::string& oldText = it->second.m_AppVersion.GetVersionText();
  const std::string& newText = comp.m_AppVersion.GetVersionText();
  if (it->second.IsOlderThan(comp)) {
    TraceLog(TRACE_WARN, "Older version of comp %s:%s replaced with %s", comp.GetName().c_str(), oldText.c_str(),
             newText.c_str());
    it->second = comp;
  } else {
    TraceLog(TRACE_WARN, "More recent version of comp %s:%s trying to replace with %s", comp.GetName().c_str(),
             oldText.c_str(), newText.c_str());
  }
  return true;
}

const CCompList::CComp* CCompList::Find(const std::string& name) const {
  auto it = m_Comps.find(name);
  return it == m_Comps.end() ? nullptr : &it->second;
}

bool CCompList::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Comps.clear();
  return SerializeFields(ar);
}

bool CCompList::VisitFields(CFieldVisitor& v) {
  // From the wire a later component of a name replaces the earlier one; one
  // taken from its JSON form goes through Add and its version check.
  const bool wire = v.OnWire();
  auto comps = field::Records<CComp>(
      m_Comps,
      [this, wire](std::map<std::string, CComp>& m, CComp& comp) {
        return wire ? (m[comp.GetName()] = comp, true) : Add(comp);
      },
      record_count::MapNode<std::string, CComp>());
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.List("comps", comps);
}
