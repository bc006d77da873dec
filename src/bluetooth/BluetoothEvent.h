// IBluetoothEvent: how the Bluetooth discovery tells the discovery engine
// what it found, and that it failed.
#pragma once

#include <cstdint>

#include "bluetooth/BtVciInfo.h"

class IBluetoothEvent {
 public:
  virtual ~IBluetoothEvent() = default;
  // The VCIs of the last successful scan (the caller keeps the map).
  virtual int32_t OnVciBtDetect(const BtVciInfoMap* pDetected) = 0;
  virtual int32_t OnVciBtError(int32_t iError) = 0;
};
