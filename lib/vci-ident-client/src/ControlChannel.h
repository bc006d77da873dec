// CControlChannel: the application's side of the control requests, one
// request and one reply per connection to the service's control port, each
// through a client socket of its own (so requests from several threads never
// share one).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "records/IdentConnect.h"

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

  // What a registration asks of the service's trace file: off, on, or
  // nothing (the setting in force stays).
  enum PersistWish { PERSIST_OFF, PERSIST_ON, PERSIST_AS_IS };
  // How a refused connect is taken. The control port of a running service
  // never refuses, so that a refusal is the answer "not running" at once for
  // a caller that waits for it; the library's registrations in the
  // background make their connects with the pauses of the settings.
  enum Refusal { REFUSAL_ANSWERS, REFUSAL_RETRIED };

  explicit CControlChannel(const Settings& settings) : m_Settings(settings) {}

  // 0 with the service's answer in reply (whose result may be a failure),
  // or the exchange's error. PERSIST_AS_IS registers with the layout that
  // ends before the wish, which carries no no-reply-timeout flag either.
  int Register(uint16_t eventPort, const std::string& clientName, PersistWish wish, bool noReplyTimeout,
               Refusal refusal, CIdentConnect_Recv& reply) const;
  // The service's result, or the exchange's error.
  int Unregister(uint32_t sessionId) const;
  int BluetoothCommand(uint32_t sessionId, uint32_t serial, uint32_t command) const;
  int FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t& unreadable) const;

  const Settings& GetSettings() const { return m_Settings; }

 private:
  // Sends request and reads reply; 0, the socket's error, or
  // RESULT_BAD_REPLY when the reply does not read as the expected message.
  int Exchange(CSerialize& request, CSerialize& reply, uint32_t waitMs, Refusal refusal = REFUSAL_RETRIED) const;

  const Settings m_Settings;
};

}  // namespace vciident
