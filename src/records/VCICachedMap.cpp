#include "records/VCICachedMap.h"

#include <iterator>

#include "serialize/ObjectId.h"

CVCICachedMap::CVCICachedMap() : CSerialMap(OBJID_CVCICachedMap, "entries") {}

const CVCICachedItem* CVCICachedMap::Find(uint32_t serial) const {
  auto it = m_Map.find(serial);
  if (it == m_Map.end() || it->second.IsEmpty()) return nullptr;
  return &it->second;
}

int32_t CVCICachedMap::Store(const std::string& path) { return cache_file::Store(*this, path, "m_VCICachedMap"); }

int32_t CVCICachedMap::Load(const std::string& path, cache_file::LoadFailure* failure) {
  if (!cache_file::Load(path, *this, "m_VCICachedMap", failure)) {
    *this = CVCICachedMap();
    return -1;
  }
  // Empty items, which older versions added for every serial number heard,
  // stand for nothing: they are not kept, so the next store drops them.
  for (auto it = m_Map.begin(); it != m_Map.end();) it = it->second.IsEmpty() ? m_Map.erase(it) : std::next(it);
  return 0;
}
