// CSenderTally: which sender address added each entry of the engine's live
// table, and how many entries each address has added, for the cap on new
// serial numbers per address: a host that announces ever new serial numbers
// fills only its own share of the table, and every real VCI announces from
// an address of its own. An entry counts for the address whose announcement
// created it until the sweep has removed it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

class CVCIStatusDynMap;

class CSenderTally {
 public:
  // Entries that sender has added and the table still holds (as of the
  // last Prune).
  uint32_t Count(const std::string& sender) const;
  // serial was added to the table by an announcement from sender.
  void Add(uint32_t serial, const std::string& sender);
  // Forgets the entries that table no longer holds.
  void Prune(const CVCIStatusDynMap& table);
  void Clear();

 private:
  void Remove(std::unordered_map<uint32_t, std::string>::iterator it);

  std::unordered_map<uint32_t, std::string> m_SenderOf;
  std::unordered_map<std::string, uint32_t> m_Counts;
};
