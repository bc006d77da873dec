#include "service_clients/CfgServiceClient.h"

#include "service_clients/Config.h"

// The configuration record arrives with the VCI status records; until they
// are in the tree the query is declared but not built.
#ifdef VCI_HAVE_CONFIG

#include <boost/thread/lock_guard.hpp>

#include "host/TraceLog.h"
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

#endif
