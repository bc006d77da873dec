// CSerialMap: the base of the records that map a serial number to a nested
// record (the live table, the detail cache). On the wire: id, version, then
// a count and per entry in serial order the serial number and the record. On
// reading, each record is filed under the serial number read before it, not
// under the one it may carry itself.
#pragma once

#include <cstdint>
#include <map>

#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"
#include "serialize/RecordCount.h"

template <typename Item>
class CSerialMap : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  explicit CSerialMap(uint32_t id) : CSerialize(id), m_uiVersion(CURRENT_VERSION) {}

  bool Serialize(CArchiveBuffer& ar) override {
    if (ar.IsStoring()) {
      if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Map.size())))
        return false;
      for (auto& kv : m_Map)
        if (!ar.Write(kv.first) || !kv.second.Serialize(ar)) return false;
      return true;
    }
    m_Map.clear();
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
    if (m_uiVersion == 0) return true;
    uint32_t count;
    // Each entry is at least its serial number and the record's id word.
    if (!record_count::Read(ar, count, 4 + record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, Item>()))
      return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t serial;
      Item item;
      if (!ar.Read(serial) || !item.Serialize(ar)) return false;
      m_Map[serial] = item;
    }
    return true;
  }

  size_t Count() const { return m_Map.size(); }
  void Clear() { m_Map.clear(); }

  uint32_t m_uiVersion;
  std::map<uint32_t, Item> m_Map;
};
