// The stack's lists as the caller receives them: blocks of packed entries
// (after a 32-bit count when the list has one) that the caller releases
// with BtMemFree, filled from the simulator's JSON items.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "BtSimWire.h"
#include "bluetooth/TosBtApi.h"

// Null when there is no memory.
template <typename Entry, typename Fill>
void* MakeStackList(const nlohmann::json& items, bool counted, Fill fill) {
  const size_t head = counted ? sizeof(uint32_t) : 0;
  auto* block = static_cast<uint8_t*>(calloc(1, head + items.size() * sizeof(Entry)));
  if (!block) return nullptr;
  if (counted) {
    const uint32_t count = static_cast<uint32_t>(items.size());
    memcpy(block, &count, sizeof count);
  }
  for (size_t i = 0; i < items.size(); ++i) fill(reinterpret_cast<Entry*>(block + head)[i], items[i]);
  return block;
}

// A device item: {address, name, paired, connected}.
inline void FillDeviceEntry(BTDEVINFO& entry, const nlohmann::json& device) {
  entry.dwFlags = (device.value("paired", false) ? uint32_t(TOSBT_DEV_PAIRED) : 0u) |
                  (device.value("connected", false) ? uint32_t(TOSBT_DEV_CONNECTED) : 0u);
  btsim::ParseAddress(device.value("address", ""), entry.BdAddr);
  // Zero-terminated unless the name fills the field, as the stack's lists
  // hold it.
  const std::string name = device.value("name", "");
  memset(entry.FriendlyName, 0, sizeof entry.FriendlyName);
  memcpy(entry.FriendlyName, name.data(), std::min(name.size(), sizeof entry.FriendlyName));
}
