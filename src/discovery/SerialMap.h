// The body shared by the records that map a serial number to a nested record
// (the live table, the detail cache): a count, then per entry in serial order
// the serial number and the record. On reading, each record is filed under
// the serial number read before it, not under the one it may carry itself.
#pragma once

#include <cstdint>
#include <map>

#include "serialize/ArchiveBuffer.h"
#include "service_clients/RecordCount.h"

namespace serial_map {

template <typename Item>
bool Serialize(CArchiveBuffer& ar, std::map<uint32_t, Item>& map) {
  if (ar.IsStoring()) {
    if (!ar.Write(static_cast<uint32_t>(map.size()))) return false;
    for (auto& kv : map)
      if (!ar.Write(kv.first) || !kv.second.Serialize(ar)) return false;
    return true;
  }
  uint32_t count;
  // Each entry is at least its serial number and the record's id word.
  if (!record_count::Read(ar, count, 4 + record_count::MIN_RECORD_SIZE)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t serial;
    Item item;
    if (!ar.Read(serial) || !item.Serialize(ar)) return false;
    map[serial] = item;
  }
  return true;
}

}  // namespace serial_map
