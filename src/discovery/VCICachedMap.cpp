#include "discovery/VCICachedMap.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "service_clients/RecordCount.h"

CVCICachedMap::CVCICachedMap() : CSerialize(OBJID_CVCICachedMap), m_uiVersion(CURRENT_VERSION) {}

bool CVCICachedMap::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!ar.Write(GetId()) || !ar.Write(m_uiVersion)) return false;
    if (m_uiVersion == 0) return true;
    if (!ar.Write(static_cast<uint32_t>(m_Map.size()))) return false;
    for (auto& kv : m_Map)
      if (!ar.Write(kv.first) || !kv.second.Serialize(ar)) return false;
    return true;
  }
  m_Map.clear();
  if (!CheckId(ar) || !ar.Read(m_uiVersion)) return false;
  if (m_uiVersion == 0) return true;
  uint32_t count;
  // Each entry is at least its serial number and an item's id word.
  if (!record_count::Read(ar, count, 4 + record_count::MIN_RECORD_SIZE)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t serial;
    CVCICachedItem item;
    if (!ar.Read(serial) || !item.Serialize(ar)) return false;
    m_Map[serial] = item;
  }
  return true;
}

const CVCICachedItem* CVCICachedMap::Find(uint32_t serial) const {
  auto it = m_Map.find(serial);
  if (it == m_Map.end() || it->second.IsEmpty()) return nullptr;
  return &it->second;
}

int32_t CVCICachedMap::Store(const std::string& path) { return cache_file::Store(*this, path, "m_VCICachedMap"); }

int32_t CVCICachedMap::Load(const std::string& path, cache_file::LoadFailure* failure) {
  if (cache_file::Load(path, *this, "m_VCICachedMap", failure)) return 0;
  *this = CVCICachedMap();
  return -1;
}
