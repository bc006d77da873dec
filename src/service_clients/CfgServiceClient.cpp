#include "service_clients/CfgServiceClient.h"

#include <boost/thread/lock_guard.hpp>

#include "host/TraceLog.h"
#include "service_clients/Config.h"
#include "service_clients/ServiceRequests.h"

int CCfgServiceClient::GetConfig(uint32_t key, CConfig& config) {
  TraceLog(TRACE_INFO, "CCfgServiceClient::GetConfig Entering");
  boost::lock_guard<boost::recursive_mutex> guard(m_CfgLock);
  config.Clear();
  CGetConfigNEW_Send request(key);
  int iRet = RunQuery(CFG_SERVICE_PORT, request, config);
  TraceLog(TRACE_INFO, "CCfgServiceClient::GetConfig Leaving");
  return iRet;
}
