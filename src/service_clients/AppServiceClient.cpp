#include "service_clients/AppServiceClient.h"

#include <boost/thread/lock_guard.hpp>

#include "host/TraceLog.h"
#include "service_clients/AppList.h"
#include "service_clients/CompList.h"
#include "service_clients/ServiceRequests.h"

int CAppServiceClient::GetApplications(CAppList& apps) {
  TraceLog(TRACE_INFO, "CAppServiceClient::GetApplications Entering");
  boost::lock_guard<boost::recursive_mutex> guard(m_AppLock);
  apps.Clear();
  CGetApplications_Send request;
  int iRet = RunQuery(APP_SERVICE_PORT, request, apps);
  TraceLog(TRACE_INFO, "CAppServiceClient::GetApplications Leaving");
  return iRet;
}

int CAppServiceClient::GetAppComps(CCompList& comps) {
  TraceLog(TRACE_INFO, "CAppServiceClient::GetAppComps Entering");
  boost::lock_guard<boost::recursive_mutex> guard(m_AppLock);
  comps.Clear();
  CGetAppComps_Send request;
  int iRet = RunQuery(APP_SERVICE_PORT, request, comps);
  TraceLog(TRACE_INFO, "CAppServiceClient::GetAppComps Leaving");
  return iRet;
}

int CAppServiceClient::GetSysComps(CCompList& comps) {
  TraceLog(TRACE_INFO, "CAppServiceClient::GetSysComps Entering");
  boost::lock_guard<boost::recursive_mutex> guard(m_AppLock);
  comps.Clear();
  CGetSysComps_Send request;
  int iRet = RunQuery(APP_SERVICE_PORT, request, comps);
  TraceLog(TRACE_INFO, "CAppServiceClient::GetSysComps Leaving");
  return iRet;
}
