#include "discovery/VCICachedMap.h"

#include "discovery/SerialMap.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CVCICachedMap::CVCICachedMap() : CSerialize(OBJID_CVCICachedMap), m_uiVersion(CURRENT_VERSION) {}

bool CVCICachedMap::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!ar.Write(GetId()) || !ar.Write(m_uiVersion)) return false;
    return m_uiVersion == 0 || serial_map::Serialize(ar, m_Map);
  }
  m_Map.clear();
  if (!CheckId(ar) || !ar.Read(m_uiVersion)) return false;
  return m_uiVersion == 0 || serial_map::Serialize(ar, m_Map);
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
