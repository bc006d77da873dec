#include "discovery/SenderTally.h"

#include <iterator>

#include "records/VCIStatusDynMap.h"

uint32_t CSenderTally::Count(const std::string& sender) const {
  auto it = m_Counts.find(sender);
  return it == m_Counts.end() ? 0 : it->second;
}

void CSenderTally::Add(uint32_t serial, const std::string& sender) {
  auto it = m_SenderOf.find(serial);
  if (it != m_SenderOf.end()) {
    if (it->second == sender) return;
    // Removed from the table and added again since the last Prune.
    Remove(it);
  }
  m_SenderOf.emplace(serial, sender);
  ++m_Counts[sender];
}

void CSenderTally::Prune(const CVCIStatusDynMap& table) {
  for (auto it = m_SenderOf.begin(); it != m_SenderOf.end();) {
    auto next = std::next(it);
    if (table.m_Map.count(it->first) == 0) Remove(it);
    it = next;
  }
}

void CSenderTally::Clear() {
  m_SenderOf.clear();
  m_Counts.clear();
}

void CSenderTally::Remove(std::unordered_map<uint32_t, std::string>::iterator it) {
  auto count = m_Counts.find(it->second);
  if (count != m_Counts.end() && --count->second == 0) m_Counts.erase(count);
  m_SenderOf.erase(it);
}
