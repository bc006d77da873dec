// CEventListener: the application's event port. The service connects to it
// once per registration and keeps the connection, sending one
// CIdentEvent_Send after the other; each is acknowledged with a
// CIdentEvent_Recv as soon as it has been read, and handed to the sink.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/ServerEvent.h"

class CIdentEvent_Send;
class CServerSocket;

namespace vciident {

// Told on the listener's receive thread, one call at a time.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual void OnEventConnection() = 0;
  virtual void OnEvent(const CIdentEvent_Send& event) = 0;
  // The service closed the connection, or it broke.
  virtual void OnEventConnectionClosed() = 0;
};

class CEventListener : public IServerEvent {
 public:
  explicit CEventListener(IEventSink& sink);
  ~CEventListener() override;
  CEventListener(const CEventListener&) = delete;
  CEventListener& operator=(const CEventListener&) = delete;

  // Listens on address at port (0: a port the system chooses). 0 or the
  // server socket's error. Takes every frame the service sends, a table
  // event of the largest table too.
  int Start(const std::string& address, uint16_t port);
  // Listens anew and closes the old port with its connections: the
  // service then removes a registration that is connected to it. A port of
  // the system's choosing is a new one, opened before the old one closes,
  // so that no connect still on its way to the old one reaches it; a fixed
  // port opens again once the old one has closed. 0 or the server socket's
  // error (there is no port then).
  int Restart(const std::string& address, uint16_t port);
  // Closes the port; no sink call comes after it returns.
  void Stop();
  uint16_t GetPort() const;

  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remoteAddress,
                     const std::string& localAddress) override;
  bool OnErrorDetected(int code) override;
  void OnAccept(const std::string& remoteAddress) override;

 private:
  IEventSink& m_Sink;
  std::unique_ptr<CServerSocket> m_pServer;
};

}  // namespace vciident
