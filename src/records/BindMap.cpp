#include "records/BindMap.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

bool WriteI64(CArchiveBuffer& ar, int64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return ar.WriteRaw(b, 8);
}

bool ReadI64(CArchiveBuffer& ar, int64_t& v) {
  uint8_t b[8];
  if (!ar.ReadRaw(b, 8)) return false;
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(b[i]) << (8 * i);
  v = static_cast<int64_t>(u);
  return true;
}

}  // namespace

CBindMap::CBindMap() : CSerialize(OBJID_CBindMap), m_uiVersion(CURRENT_VERSION) {}

bool CBindMap::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Map.size())))
      return false;
    for (auto& kv : m_Map) {
      if (!ar.Write(static_cast<uint32_t>(kv.second.size())) || !ar.Write(kv.first)) return false;
      for (auto& b : kv.second)
        if (!WriteI64(ar, b.m_Confirmed.m_iSeconds) || !WriteI64(ar, b.m_Confirmed.m_iNanoseconds) ||
            !ar.Write(b.m_strLocal))
          return false;
    }
    return true;
  }
  m_Map.clear();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  // Each foreign address takes at least its binding count and its string
  // count, each binding its time point and its string count.
  if (!record_count::Read(ar, count, 8, record_count::MapNode<std::string, BindingList>())) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t n;
    std::string foreign;
    if (!record_count::Read(ar, n, 20, record_count::VectorSlot<Binding>()) || !ar.Read(foreign)) return false;
    BindingList& list = m_Map[foreign];
    for (uint32_t j = 0; j < n; ++j) {
      Binding b;
      if (!ReadI64(ar, b.m_Confirmed.m_iSeconds) || !ReadI64(ar, b.m_Confirmed.m_iNanoseconds) ||
          !ar.Read(b.m_strLocal))
        return false;
      list.push_back(b);
    }
  }
  return true;
}

std::string CBindMap::GetLocalAddr(const std::string& foreign) const {
  auto it = m_Map.find(foreign);
  if (it == m_Map.end() || it->second.empty()) return std::string();
  return it->second.front().m_strLocal;
}

void CBindMap::RemoveLocal(const std::string& local) {
  for (auto it = m_Map.begin(); it != m_Map.end();) {
    BindingList& list = it->second;
    for (auto b = list.begin(); b != list.end(); ++b)
      if (b->m_strLocal == local) {
        list.erase(b);
        break;
      }
    if (list.empty())
      it = m_Map.erase(it);
    else
      ++it;
  }
}
