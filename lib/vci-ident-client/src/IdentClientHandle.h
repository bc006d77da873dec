// CIdentClientHandle: what a vci_ident_client of the C interface is. It owns
// a CIdentClient and is its listener: on the library's thread it calls the
// application's C callbacks at once, or, for an application that runs them
// in its own loop, queues them until Dispatch.
#pragma once

#include <cstdint>

#include "DispatchQueue.h"
#include "vci-ident/IdentClient.h"
#include "vci-ident/vci_ident.h"

namespace vciident {

class __attribute__((visibility("hidden"))) CIdentClientHandle : private IIdentClientListener {
 public:
  template <class F>
  struct Callback {
    F function = nullptr;
    void* userdata = nullptr;
  };
  struct Options {
    ClientOptions client;  // without a listener: the handle is it
    int runMode = VCI_IDENT_RUN_ON_LIBRARY_THREAD;
    // The application stated a wish for the service's trace file; without
    // one the registrations leave the setting in force.
    bool persistWish = false;
    Callback<vci_ident_table_callback> onTable;
    Callback<vci_ident_bindings_callback> onBindings;
    Callback<vci_ident_error_callback> onError;
    Callback<vci_ident_lost_callback> onLost;
    Callback<vci_ident_back_callback> onBack;
  };

  explicit CIdentClientHandle(const Options& options);
  CIdentClientHandle(const CIdentClientHandle&) = delete;
  CIdentClientHandle& operator=(const CIdentClientHandle&) = delete;

  // 0, or the errno of the loop's descriptor.
  int Open();
  CIdentClient& Client() { return m_Client; }
  const CIdentClient& Client() const { return m_Client; }
  bool InLoop() const { return m_Options.runMode == VCI_IDENT_RUN_IN_LOOP; }
  int Fd() const { return InLoop() ? m_Queue.Fd() : -1; }
  int Connect();
  int Disconnect();
  // Runs the callbacks that wait when it is called (in the loop only).
  int Dispatch();

 private:
  typedef CDispatchQueue::Call Call;

  // IIdentClientListener, on the library's thread.
  void OnTableChanged(const std::vector<VciInfo>& table) override;
  void OnBindingsChanged(const std::vector<VciBinding>& bindings) override;
  void OnServiceError(uint32_t code) override;
  void OnServiceLost(int reason) override;
  void OnServiceBack(const ServiceInfo& service) override;

  // The application's callback of each kind.
  void RunTable(const std::vector<VciInfo>& table);
  void RunBindings(const std::vector<VciBinding>& bindings);
  void RunError(uint32_t code);
  void RunLost(int reason);
  void RunBack(const ServiceInfo& service);
  vci_ident_client* Self() { return reinterpret_cast<vci_ident_client*>(this); }

  // Constant after construction.
  const Options m_Options;
  // In the loop only.
  CDispatchQueue m_Queue;
  // Last: its thread, which calls the members above, ends first.
  CIdentClient m_Client;
};

}  // namespace vciident
