#include "discovery/VCICachedMap.h"

#include "serialize/ObjectId.h"

CVCICachedMap::CVCICachedMap() : CSerialMap(OBJID_CVCICachedMap) {}

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
