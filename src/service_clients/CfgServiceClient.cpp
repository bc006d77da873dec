#include "service_clients/CfgServiceClient.h"

#include "records/Config.h"
#include "service_clients/ServiceRequests.h"

CCfgServiceClient::~CCfgServiceClient() { AbortAndWaitFor(m_CfgLock); }

int CCfgServiceClient::GetConfig(uint32_t key, CConfig& config) {
  CGetConfigNEW_Send request(key);
  return Query(m_CfgLock, "CCfgServiceClient::GetConfig", CFG_SERVICE_PORT, request, config);
}
