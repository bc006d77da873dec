// CVCICachedMap: the detail cache, what the engine learnt from each VCI's own
// services, keyed by serial number. It lives in the file
// valid-module_<brand>.bin, is loaded at start and rewritten whole after
// every successful fetch. Items go only to make room at the engine's bound
// (MAX_CACHED_VCIS), and then only those of VCIs not listed. It holds an item only
// for a VCI whose details were fetched: the engine looks a serial number up
// with Find, never with FindOrAdd.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "records/CacheFile.h"
#include "records/SerialMap.h"
#include "records/VCICachedItem.h"
#include "serialize/Serialize.h"

class CVCICachedMap : public CSerialMap<CVCICachedItem> {
 public:
  CVCICachedMap();

  // The item of a serial number, inserting an empty item when absent (it is
  // written with the next store).
  CVCICachedItem& FindOrAdd(uint32_t serial) { return m_Map[serial]; }
  // The item of a serial number; null when absent or empty.
  const CVCICachedItem* Find(uint32_t serial) const;
  void Set(uint32_t serial, const CVCICachedItem& item) { m_Map[serial] = item; }

  // 0 or -1. A failed store leaves the previous file in place (except that a
  // body that could not be enciphered is written in clear).
  int32_t Store(const std::string& path);
  // 0 or -1. Empty items of the file are left out. A file that does not
  // load leaves the cache empty (version 1); failure, when given, says how
  // far the load got.
  int32_t Load(const std::string& path, cache_file::LoadFailure* failure = nullptr);
};
