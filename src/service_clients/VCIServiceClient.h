// CVCIServiceClient: one client per VCI service behind one object, each with
// its own socket and address pair. The owning thread creates one per VCI it
// examines, initialises it with the VCI's address and the local interface
// address, runs its queries and destroys it.
//
// Only the application and configuration clients are bundled: this service
// never opens a session on a VCI nor reprograms one, so the session client
// (port 9002) and the reprogramming client (port 9003) are not built.
#pragma once

#include <cstdint>

#include "service_clients/AppServiceClient.h"
#include "service_clients/CfgServiceClient.h"

class CVCIServiceClient : public CAppServiceClient, public CCfgServiceClient {
 public:
  CVCIServiceClient() = default;
  // Aborts both clients before either waits for its query, so that one
  // silent service does not hold up the other's release.
  ~CVCIServiceClient() override;

  // Initialises the configuration client, then the application client;
  // stops at the first failure and returns its code.
  int Initialize(const char* remoteAddress, const char* localAddress, uint32_t keyInput1, uint32_t keyInput2);
  // The same for both clients in the same order; 0.
  int SetTransportLogging(bool on, uint32_t unused = 0);
  // The same socket waits for both clients; 0.
  int SetSocketTimeouts(const CClientSocket::Timeouts& timeouts);
  // Aborts both clients (CPlatformServiceClient::Abort); from any thread. 0.
  int Abort();

  CAppServiceClient& GetAppServiceClient() { return *this; }
  CCfgServiceClient& GetCfgServiceClient() { return *this; }
};
