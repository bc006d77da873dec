// CControlChannel: the application's side of the control requests, one
// request and one reply per connection to the service's control port, each
// through a client socket of its own (so requests from several threads never
// share one).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client_service/IdentConnect.h"

class CSerialize;

namespace vciident {

class CControlChannel {
 public:
  struct Settings {
    std::string serviceAddress;
    uint16_t controlPort = 0;
    uint32_t replyWaitMs = 0;
    uint32_t bluetoothReplyWaitMs = 0;
    uint32_t connectPauseMs = 0;
  };

  explicit CControlChannel(const Settings& settings) : m_Settings(settings) {}

  // 0 with the service's answer in reply (whose result may be a failure),
  // or the exchange's error.
  int Register(uint16_t eventPort, const std::string& clientName, bool persistLog, bool noReplyTimeout,
               CIdentConnect_Recv& reply) const;
  // The service's result, or the exchange's error.
  int Unregister(uint32_t sessionId) const;
  int BluetoothCommand(uint32_t sessionId, uint32_t serial, uint32_t command) const;
  int FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t& unreadable) const;

  const Settings& GetSettings() const { return m_Settings; }

 private:
  // Sends request and reads reply; 0, the socket's error, or
  // RESULT_BAD_REPLY when the reply does not read as the expected message.
  int Exchange(CSerialize& request, CSerialize& reply, uint32_t waitMs) const;

  const Settings m_Settings;
};

}  // namespace vciident
