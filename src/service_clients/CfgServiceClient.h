// CCfgServiceClient: the query of a VCI's configuration service (port 9004):
// one configuration section, chosen by its key.
#pragma once

#include <cstdint>

#include "platform/Mutex.h"
#include "service_clients/PlatformServiceClient.h"

class CConfig;

class CCfgServiceClient : public CPlatformServiceClient {
 public:
  CCfgServiceClient() = default;
  // Cuts a query in progress on another thread short and waits for it.
  ~CCfgServiceClient() override;

  // Clears config, connects, exchanges a CGetConfigNEW_Send for key with
  // timeout 0 and disconnects whatever happened: 0, -1, a client socket
  // error code or the reply's result code.
  int GetConfig(uint32_t key, CConfig& config);

 private:
  // Held for each whole query, before the base locks; one query at a time
  // per client.
  CRecursiveMutex m_CfgLock;
};
