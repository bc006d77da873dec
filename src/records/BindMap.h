// CBindMap: which local interface address each VCI address answered through.
// A VCI address may be bound to several local addresses; the first binding
// made is the one used.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "records/TimePoint.h"
#include "serialize/Serialize.h"

class CBindMap : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  struct Binding {
    TimePoint m_Confirmed;
    std::string m_strLocal;
    bool operator==(const Binding& o) const { return m_Confirmed == o.m_Confirmed && m_strLocal == o.m_strLocal; }
  };
  typedef std::vector<Binding> BindingList;

  CBindMap();
  bool Serialize(CArchiveBuffer& ar) override;
  // Per foreign address in address order its bindings in the order they
  // were made, each with the time point of its last confirmation; the
  // binding count travels ahead of the foreign address.
  bool VisitFields(CFieldVisitor& v) override;

  // The bindings of a foreign address, inserting an empty list when absent.
  BindingList& GetOrCreate(const std::string& foreign) { return m_Map[foreign]; }
  // Local address of the first binding; empty when there is none.
  std::string GetLocalAddr(const std::string& foreign) const;
  // Drops the first binding to `local` in every list; empty lists go too.
  void RemoveLocal(const std::string& local);
  void Clear() { m_Map.clear(); }
  size_t Count() const { return m_Map.size(); }

  uint32_t m_uiVersion;
  std::map<std::string, BindingList> m_Map;
};
