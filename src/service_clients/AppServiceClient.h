// CAppServiceClient: the queries of a VCI's application service (port 9000):
// the installed applications, application components and system components.
#pragma once

#include "platform/Mutex.h"
#include "service_clients/PlatformServiceClient.h"

class CAppList;
class CCompList;

class CAppServiceClient : public CPlatformServiceClient {
 public:
  CAppServiceClient() = default;
  // Cuts a query in progress on another thread short and waits for it.
  ~CAppServiceClient() override;

  // Each clears its list, connects, exchanges one request with timeout 0
  // and disconnects whatever happened: 0, -1, a client socket error code or
  // the reply's result code. A failing query leaves the list as far as it
  // was read.
  int GetApplications(CAppList& apps);
  int GetAppComps(CCompList& comps);
  int GetSysComps(CCompList& comps);

 private:
  // Held for each whole query, before the base locks; one query at a time
  // per client.
  CRecursiveMutex m_AppLock;
};
