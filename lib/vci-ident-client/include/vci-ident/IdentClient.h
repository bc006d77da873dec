// CIdentClient: an application's registration with the VCI identification
// service on this PC.
//
//   vciident::CIdentClient client(options);
//   vciident::ServiceInfo service;
//   if (client.Connect(&service) == 0)
//     for (const vciident::VciInfo& vci : client.GetTable()) ...
//
// Connect opens the application's event port and registers; from then on
// the library acknowledges each of the service's events at once, keeps the
// current table and bindings (GetTable, GetBindings: copies, from any
// thread) and tells the listener on a thread of its own. When the service
// goes away the listener hears OnServiceLost, and the library registers
// again, with growing pauses, until the service answers (OnServiceBack).
// Nothing is thrown: every operation returns a result code (IdentResult.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vci-ident/Export.h"
#include "vci-ident/IdentClientListener.h"
#include "vci-ident/IdentResult.h"
#include "vci-ident/VciInfo.h"

namespace vciident {

struct ClientOptions {
  // Names the application in the service's log lines.
  std::string clientName = "vci-ident-client";
  // The service's address (one of this PC's) and control port; the event
  // port listens on the same address.
  std::string serviceAddress = "127.0.0.1";
  uint16_t controlPort = 8098;
  // 0: a port the system chooses.
  uint16_t eventPort = 0;
  // The service keeps its trace file while this application is registered.
  bool persistLog = false;
  // The service waits for each acknowledgement without time limit.
  bool noReplyTimeout = false;
  // Told of events; not owned, must outlive Disconnect.
  IIdentClientListener* listener = nullptr;

  // The least wait for a reply of the service (ms). A fresh service answers
  // its first registration only after 2000 ms.
  uint32_t replyWaitMs = 10000;
  // The wait for a Bluetooth command's reply (ms); 0: computed from the
  // service's configuration (pairing attempts x PAIR_TIMEOUT +
  // BT_CONNECT_TIMEOUT + BT_IF_UP_TIMEOUT, plus BLUETOOTH_REPLY_MARGIN_MS),
  // about 85 s with the defaults.
  uint32_t bluetoothReplyWaitMs = 0;
  // The pause before each of the last nine of the 19 connect calls to a
  // control port that refuses (ms), in the registrations that the library
  // makes on its own while the service is away.
  uint32_t connectPauseMs = 250;
  // Pauses between registrations while the service is away: the first,
  // doubled after each failure up to the last (ms).
  uint32_t retryFirstMs = 500;
  uint32_t retryLastMs = 8000;
  // The service program to start when its control port refuses the
  // connection (never on a slow reply: a new instance replaces a running
  // one); empty: never started. Connect then tries for serviceStartWaitMs.
  std::string serviceProgram;
  std::vector<std::string> serviceArguments;
  uint32_t serviceStartWaitMs = 10000;
};

// Flags of Connect.
enum : uint32_t {
  // The registrations state no wish for the service's trace file
  // (persistLog is not sent), so that what other applications asked for
  // stays in force. They then cannot ask for an acknowledgement wait
  // without limit: with noReplyTimeout Connect answers RESULT_BAD_ARGUMENT.
  CONNECT_KEEP_TRACE_SETTING = 1,
};

// Added to the Bluetooth timeouts: a request waits behind the one in
// progress, and switching the network connection takes time of its own.
const uint32_t BLUETOOTH_REPLY_MARGIN_MS = 15000;

class VCI_IDENT_API CIdentClient {
 public:
  explicit CIdentClient(const ClientOptions& options = ClientOptions());
  // Disconnects when still connected.
  ~CIdentClient();
  CIdentClient(const CIdentClient&) = delete;
  CIdentClient& operator=(const CIdentClient&) = delete;

  // Opens the event port and registers; service (when given) receives the
  // service's answer. The first table and bindings are then in GetTable and
  // GetBindings. RESULT_ALREADY_REGISTERED when connected already. A control
  // port that refuses is answered at once, RESULT_REFUSED (the port of a
  // running service never refuses), unless serviceProgram is set.
  int Connect(ServiceInfo* service = nullptr);
  // The same with CONNECT_ flags.
  int Connect(ServiceInfo* service, uint32_t flags);
  // One look at the service: opens the event port, registers, takes the
  // answer, table and bindings of the registration (each when given),
  // unregisters and closes the port; the listener hears nothing. The
  // registration states no wish for the service's trace file, so that
  // what the registered applications asked for stays in force. Answers as
  // Connect does; RESULT_ALREADY_REGISTERED while connected.
  int Query(ServiceInfo* service, std::vector<VciInfo>* table, std::vector<VciBinding>* bindings);
  // Unregisters (when registered), stops re-registering and closes the
  // event port; no listener call comes after it returns.
  // RESULT_NOT_REGISTERED when not connected, RESULT_IN_CALLBACK from a
  // listener call.
  int Disconnect();

  // Registered now (false while the service is away).
  bool IsRegistered() const;
  // The answer of the current (or last) registration.
  ServiceInfo GetServiceInfo() const;
  std::vector<VciInfo> GetTable() const;
  std::vector<VciBinding> GetBindings() const;
  // The port the service sends events to (0 when not connected).
  uint16_t GetEventPort() const;

  // A Bluetooth command (BT_CONNECT ... BT_CHECK_CONNECT_STATE) for the VCI
  // with that serial number (BT_SCAN ignores it); the service's result, -1
  // when Bluetooth is disabled. Waits up to the Bluetooth reply wait.
  int BluetoothCommand(uint32_t command, uint32_t serial);
  // The files of the service's data folder, name -> bytes; files the service
  // could not read are left out and counted in unreadable. Needs no
  // registration; a refusing control port is answered at once.
  int FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t* unreadable = nullptr);

  // The Bluetooth reply wait in force (ms).
  uint32_t GetBluetoothReplyWaitMs() const;

 private:
  class CImpl;
  std::unique_ptr<CImpl> m_pImpl;
};

}  // namespace vciident
