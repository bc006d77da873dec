// What an application is told while it is registered. Every call comes on
// the library's own thread, one at a time, in the order the service sent
// them; a call may take its time (the service's events are acknowledged
// before they reach it). A call must not Disconnect the client it comes from.
#pragma once

#include <cstdint>
#include <vector>

#include "vci-ident/VciInfo.h"

namespace vciident {

class IIdentClientListener {
 public:
  virtual ~IIdentClientListener() = default;
  // The whole table, after a VCI appeared, went, or changed.
  virtual void OnTableChanged(const std::vector<VciInfo>& table) { (void)table; }
  // All bindings, after one was made or dropped.
  virtual void OnBindingsChanged(const std::vector<VciBinding>& bindings) { (void)bindings; }
  // An error the service reports: 0x8004 to 0x8007 from its interface
  // monitor, any other code from Bluetooth (EventErrorText).
  virtual void OnServiceError(uint32_t code) { (void)code; }
  // The service went away (reason: ResultText). The library registers again
  // on its own once the service answers.
  virtual void OnServiceLost(int reason) { (void)reason; }
  // Registered again after OnServiceLost; the table and the bindings of the
  // new registration follow.
  virtual void OnServiceBack(const ServiceInfo& service) { (void)service; }
};

}  // namespace vciident
