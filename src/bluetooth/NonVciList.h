// CNonVciList: the Bluetooth devices judged not to be VCIs, by address,
// kept also in "non-vci-bt.txt" in the service's data location, so that a
// device is asked for its friendly name once, not after every restart. The
// file is an ini text with one section: a count and, for entry n, the
// address, friendly name and time of judgement ("bt_dev_n", "bt_FN_n",
// "bt_TS_n").
//
// The file may have been edited or damaged: a count that the section cannot
// hold (negative, or more entries than it has keys) makes the file's entries
// unusable, so nothing is read from it and nothing appended to it; a text
// that does not read as ini text, or that cannot be written back with every
// entry it has, keeps its old text. Either way the device is still
// remembered for this run.
//
// Not thread-safe: the manager's discovery thread owns the list while it
// runs.
#pragma once
#include <cstdint>
#include <set>
#include <string>

class CNonVciList {
 public:
  // Adds the file's devices. -1 without the data location, else 0 (a
  // missing or garbled file is logged).
  int32_t Load();
  bool Contains(const std::string& address) const { return m_Addresses.count(address) != 0; }
  const std::set<std::string>& GetAddresses() const { return m_Addresses; }
  // Remembers a device and appends it to the file (created when missing).
  void Add(const std::string& address, const std::string& name);

 private:
  std::set<std::string> m_Addresses;
};
