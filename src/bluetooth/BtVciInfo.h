// BtVciInfo: one VCI found by the Bluetooth discovery, filed under its
// serial number as decimal text. The device address, firmware version,
// module type and module state are what the discovery engine compares and
// stores; the sessions and the miss counter belong to the Bluetooth side.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <list>
#include <map>
#include <string>

struct BtVciInfo {
  std::string BDADDR;        // "%02x:%02x:%02x:%02x:%02x:%02x"
  uint32_t FW_Version = 0;   // major << 24 | minor << 16 | build << 8
  uint32_t ModuleType = 0;
  uint32_t ModuleState = 0;  // 1, or 2 for a VCI in recovery mode
  std::list<int32_t> sessions;  // sessions that use the Bluetooth connection
  uint32_t misses = 0;          // successful scans in a row without the VCI
};

// Serial number text -> record.
typedef std::map<std::string, BtVciInfo> BtVciInfoMap;

// The discovery names a VCI by the serial digits of its friendly name, which
// may carry leading zeros ("00004711"), while the default device and the
// commands give the serial number: the record whose name reads as serial.
template <typename Map>
auto FindBtVci(Map& map, uint32_t serial) -> decltype(map.begin()) {
  auto it = map.begin();
  while (it != map.end() && std::strtoul(it->first.c_str(), nullptr, 10) != serial) ++it;
  return it;
}
