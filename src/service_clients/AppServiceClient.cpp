#include "service_clients/AppServiceClient.h"

#include "records/AppList.h"
#include "records/CompList.h"
#include "service_clients/ServiceRequests.h"

CAppServiceClient::~CAppServiceClient() { AbortAndWaitFor(m_AppLock); }

int CAppServiceClient::GetApplications(CAppList& apps) {
  CGetApplications_Send request;
  return Query(m_AppLock, "CAppServiceClient::GetApplications", APP_SERVICE_PORT, request, apps);
}

int CAppServiceClient::GetAppComps(CCompList& comps) {
  CGetAppComps_Send request;
  return Query(m_AppLock, "CAppServiceClient::GetAppComps", APP_SERVICE_PORT, request, comps);
}

int CAppServiceClient::GetSysComps(CCompList& comps) {
  CGetSysComps_Send request;
  return Query(m_AppLock, "CAppServiceClient::GetSysComps", APP_SERVICE_PORT, request, comps);
}
