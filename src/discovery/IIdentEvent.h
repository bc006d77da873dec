// IIdentEvent: how the discovery engine tells its owner (the client
// connection manager) that the VCI table or the bindings changed, that the
// interface monitor failed, or that the Bluetooth discovery failed. The
// engine never calls it with its table lock held.
#pragma once

#include <cstdint>

class IIdentEvent {
 public:
  virtual ~IIdentEvent() = default;
  // type 4: value bit 1 = VCI table changed, bit 2 = bindings changed;
  // 0x8001: a Bluetooth error code; 11..14: the interface monitor failed.
  virtual void OnIdentNotify(uint32_t type, uint32_t value) = 0;
  // The interface set changed (0) or the monitor's error code.
  virtual void OnIdentUsb(uint32_t code) = 0;
};
