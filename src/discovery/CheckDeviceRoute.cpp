#include "discovery/CheckDeviceRoute.h"

#include "discovery/VCIIdentClient.h"
#include "host/TraceLog.h"
#include "records/AppList.h"

CCheckDeviceRoute::CCheckDeviceRoute(const std::string& remote, const std::string& local, CVCIIdentClient* pEngine,
                                     uint32_t brand, uint32_t serial)
    : m_sRemote(remote), m_sLocal(local), m_pEngine(pEngine) {
  if (remote.empty() || !pEngine || m_Client.Initialize(remote.c_str(), local.c_str(), brand, serial) != 0) Finish();
}

CCheckDeviceRoute::~CCheckDeviceRoute() { Abort(); }

void CCheckDeviceRoute::Abort() {
  m_bAbort = true;
  m_Client.Abort();
}

bool CCheckDeviceRoute::IsFinished() {
  CMutexLock lock(m_Lock);
  return m_bFinished;
}

void CCheckDeviceRoute::Finish() {
  CMutexLock lock(m_Lock);
  m_bFinished = true;
}

void CCheckDeviceRoute::Run() {
  // An inert check has nothing to do.
  if (IsFinished()) return;
  TraceLog(TRACE_INFO, "CCheckDeviceRoute::Run Entering");
  CAppList apps;
  int32_t r = m_bAbort ? -1 : m_Client.GetAppServiceClient().GetApplications(apps);
  {
    CMutexLock table(m_pEngine->m_TableLock);
    if (r == 0 && !m_bAbort)
      m_pEngine->SetIFBinding(m_sLocal, m_sRemote);
    else
      TraceLog(TRACE_INFO, "CCheckDeviceRoute::Run No Route available for %s", m_sRemote.c_str());
  }
  Finish();
  TraceLog(TRACE_INFO, "CCheckDeviceRoute::Run Leaving");
}
