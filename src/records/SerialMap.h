// CSerialMap: the base of the records that map a serial number to a nested
// record (the live table, the detail cache). On the wire: id, version, then
// a count and per entry in serial order the serial number and the record
// (in the JSON form an array of {"serial", "item"} under a name of the
// map's own). On
// reading, each record is filed under the serial number read before it, not
// under the one it may carry itself.
#pragma once

#include <cstdint>
#include <map>

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/RecordCount.h"
#include "serialize/Serialize.h"

template <typename Item>
class CSerialMap : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  // listName: what the entries are called in the JSON form.
  CSerialMap(uint32_t id, const char* listName) : CSerialize(id), m_uiVersion(CURRENT_VERSION), m_pListName(listName) {}

  bool Serialize(CArchiveBuffer& ar) override {
    if (!ar.IsStoring()) m_Map.clear();
    return SerializeFields(ar);
  }

  bool VisitFields(CFieldVisitor& v) override {
    // Each entry is at least its serial number and the record's id word.
    auto entries = field::List<std::pair<uint32_t, Item>>(
        m_Map, [](CFieldVisitor& v, auto& e) { return field::Key(v, "serial", e.first) && v.Field("item", e.second); },
        [](std::map<uint32_t, Item>& m, std::pair<uint32_t, Item>& e) { return m[e.first] = e.second, true; },
        4 + record_count::MIN_RECORD_SIZE, record_count::MapNode<uint32_t, Item>());
    return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.List(m_pListName, entries);
  }

  size_t Count() const { return m_Map.size(); }
  void Clear() { m_Map.clear(); }

  uint32_t m_uiVersion;
  std::map<uint32_t, Item> m_Map;

 private:
  const char* m_pListName;
};
