#include "netif/IFList.h"

#include "host/TraceLog.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"

namespace {

// Smallest CIF on the wire: its id word and its version word.
const uint32_t kMinIFSize = 8;

}  // namespace

const char* GetIFKindName(int32_t eIF) {
  switch (eIF) {
    case IF_ETHERNET:
      return "Ethernet";
    case IF_USB:
      return "USB";
    case IF_WIRELESS:
      return "Wireless";
    case IF_LOCAL:
      return "Local";
    case IF_BLUETOOTH:
      return "Bluetooth";
    default:
      return "Unknown";
  }
}

CIFList::CIF::CIF() : CSerialize(OBJID_CIFList_CIF), m_uiVersion(CURRENT_VERSION), m_eIF(0) {}

CIFList::CIF::CIF(const char* address, const char* mask, const char* broadcast, int32_t eIF, const char* hwAddr,
                  const std::string& name)
    : CIF() {
  m_eIF = eIF;
  if (!address || !mask || !broadcast || !hwAddr) return;
  m_strAddress = address;
  m_strMask = mask;
  m_strBroadcast = broadcast;
  m_strHWAddr = hwAddr;
  m_strName = name;
}

bool CIFList::CIF::operator!=(const CIF& o) const {
  return m_strAddress != o.m_strAddress || m_strMask != o.m_strMask || m_strBroadcast != o.m_strBroadcast ||
         m_strHWAddr != o.m_strHWAddr || m_eIF != o.m_eIF || m_strName != o.m_strName;
}

bool CIFList::CIF::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("address", m_strAddress) &&
         v.Field("mask", m_strMask) && v.Field("broadcast", m_strBroadcast) && v.Field("hwAddr", m_strHWAddr) &&
         v.Field("kind", m_eIF) && v.Shown("kindName", GetIFKindName(m_eIF)) && v.Field("name", m_strName);
}

CIFList::CIFList() : CResponse(OBJID_CIFList, 0), m_uiVersion(CURRENT_VERSION) {}

CIFList::CIFList(const CIFList& o) : CResponse(o), m_uiVersion(o.m_uiVersion), m_IFs(o.m_IFs) {}

CIFList& CIFList::operator=(const CIFList& o) {
  if (this == &o) return *this;
  Clear();
  for (const auto& e : o.m_IFs) m_IFs[e.first] = e.second;
  return *this;
}

int CIFList::AddIF(const char* address, const char* mask, const char* broadcast, const char* hwAddr, int32_t eIF,
                   const std::string& name) {
  if (!address || !mask || !broadcast || !hwAddr) {
    TraceLog(TRACE_ERR, "CIFList::AddIF bAddr = %d, bMask = %d, bBroadcast = %d, bHWAddr = %d", address ? 0 : 1,
             mask ? 0 : 1, broadcast ? 0 : 1, hwAddr ? 0 : 1);
    return -1;
  }
  m_IFs[address] = CIF(address, mask, broadcast, eIF, hwAddr, name);
  return 0;
}

const CIFList::CIF* CIFList::GetAt(uint32_t index) const {
  if (index >= m_IFs.size()) return nullptr;
  auto it = m_IFs.begin();
  std::advance(it, index);
  return &it->second;
}

int CIFList::GetAddress(uint32_t index, std::string& address) const {
  const CIF* p = GetAt(index);
  if (!p) return -1;
  address = p->m_strAddress;
  return 0;
}

int CIFList::GetAddress(uint32_t index, std::string& address, int32_t& eIF) const {
  const CIF* p = GetAt(index);
  if (!p) return -1;
  address = p->m_strAddress;
  eIF = p->m_eIF;
  return 0;
}

int CIFList::GetName(uint32_t index, std::string& name) const {
  const CIF* p = GetAt(index);
  if (!p) return -1;
  name = p->m_strName;
  return 0;
}

bool CIFList::operator!=(const CIFList& o) const {
  if (this == &o) return false;
  if (m_IFs.size() != o.m_IFs.size()) return true;
  if (m_IFs.empty()) return false;
  // A record matches when any record here equals it in every field, not only
  // the one filed under the same address.
  for (const auto& e : o.m_IFs) {
    bool found = false;
    for (const auto& mine : m_IFs)
      if (mine.second == e.second) {
        found = true;
        break;
      }
    if (!found) return true;
  }
  return false;
}

bool CIFList::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_IFs.clear();
  return SerializeFields(ar);
}

bool CIFList::VisitFields(CFieldVisitor& v) {
  auto ifs = field::List<CIF>(
      m_IFs, [](CFieldVisitor& v, auto& e) { return v.Field(nullptr, field::Value(e)); },
      [](std::map<std::string, CIF>& m, CIF& rec) { return m[rec.m_strAddress] = rec, true; }, kMinIFSize, 0);
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.List("interfaces", ifs);
}
