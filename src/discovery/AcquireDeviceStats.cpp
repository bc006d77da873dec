#include "discovery/AcquireDeviceStats.h"

#include <cstdlib>

#include "discovery/VCIIdentClient.h"
#include "host/TraceLog.h"
#include "records/AppList.h"
#include "records/CompList.h"
#include "records/Config.h"
#include "records/VCICachedMap.h"

CAcquireDeviceStats::CAcquireDeviceStats(const std::string& remote, const std::string& local, uint32_t moduleType,
                                         uint32_t serial, CVCIIdentClient* pEngine, const CVCIIdentMsg& msg)
    : m_uiSerial(serial), m_uiModuleType(moduleType), m_sRemote(remote), m_sLocal(local), m_pEngine(pEngine),
      m_Msg(msg) {
  if (remote.empty() || local.empty() || !pEngine) Finish(false, false);
}

CAcquireDeviceStats::~CAcquireDeviceStats() {
  TraceLog(TRACE_INFO, "CAcquireDeviceStats::~CAcquireDeviceStats Entering");
  Abort();
  TraceLog(TRACE_INFO, "CAcquireDeviceStats::~CAcquireDeviceStats Leaving");
}

void CAcquireDeviceStats::Abort() {
  m_bAbort = true;
  m_Client.Abort();
}

bool CAcquireDeviceStats::GetFlags(bool& success, bool& bindingsChanged) {
  CMutexLock lock(m_Lock);
  success = m_bSuccess;
  bindingsChanged = m_bBindingsChanged;
  return m_bFinished;
}

void CAcquireDeviceStats::Finish(bool success, bool bindingsChanged) {
  CMutexLock lock(m_Lock);
  m_bSuccess = success;
  m_bBindingsChanged = bindingsChanged;
  m_bFinished = true;
}

void CAcquireDeviceStats::Run() {
  {
    // An inert fetch has nothing to do.
    CMutexLock lock(m_Lock);
    if (m_bFinished) return;
  }
  TraceLog(TRACE_INFO, "CAcquireDeviceStats::Run Entering");
  // The kind's time is that of the start of the fetch, as if the VCI had
  // been listed when it was heard.
  const TimePoint started = TimePoint::Now();
  CVCIStatus status;
  int32_t r = Fetch(status);
  bool bindingsChanged = false;
  if (r == 0 && !Aborted()) r = Store(status, started, bindingsChanged);
  Finish(r == 0 && !Aborted(), bindingsChanged);
  TraceLog(TRACE_INFO, "CAcquireDeviceStats::Run Leaving");
}

int32_t CAcquireDeviceStats::Fetch(CVCIStatus& status) {
  int32_t r = m_Client.Initialize(m_sRemote.c_str(), m_sLocal.c_str(), m_uiModuleType, m_uiSerial);
  TraceLog(TRACE_INFO, "CAcquireDeviceStats::Run Retrieving Status from %d Remote Addr = %s LocalAddr = %s",
           m_uiSerial, m_sRemote.c_str(), m_sLocal.c_str());
  CAppList apps;
  CCompList appComps, sysComps;
  CConfig config;
  CArgList section, deviceInfo;
  // Each step runs only while the ones before succeeded and no stop came.
  auto step = [&](int32_t result, int level, const char* failureLine) {
    if (result != 0) TraceLog(level, failureLine, result);
    r = result;
    return r == 0 && !Aborted();
  };
  bool ok = r == 0 && !Aborted();
  ok = ok && step(m_Client.GetAppServiceClient().GetApplications(apps), TRACE_INFO,
                  "CAcquireDeviceStats::Run GetApplications iRet = %d");
  ok = ok && step(m_Client.GetAppServiceClient().GetAppComps(appComps), TRACE_ERR,
                  "CAcquireDeviceStats::Run GetAppServiceClient().GetAppComps iRet = %d");
  ok = ok && step(m_Client.GetAppServiceClient().GetSysComps(sysComps), TRACE_ERR,
                  "CAcquireDeviceStats::Run GetAppServiceClient().GetSysComps iRet = %d");
  ok = ok && step(m_Client.GetCfgServiceClient().GetConfig(PRODUCT_SECTION_KEY, config), TRACE_ERR,
                  "CAcquireDeviceStats::Run GetCfgServiceClient().GetConfig iRet = %d");
  ok = ok && step(config.GetConfig(PRODUCT_SECTION_KEY, section), TRACE_ERR,
                  "CAcquireDeviceStats::Run VCIConfig.GetConfig iRet = %d");
  if (!ok) return r != 0 ? r : -1;

  // A section without one of the three values is a failed fetch: a VCI
  // listed without them could not be told apart from an older one.
  static const struct {
    const char* name;
    const char* missingLine;
    bool deviceInfo;  // else the module type
  } kValues[] = {{"ProductVersion", "CAcquireDeviceStats::Run REG_VALUE_PRODUCT_VERSION", true},
                 {"ProductDate", "CAcquireDeviceStats::Run REG_VALUE_PRODUCT_DATE", true},
                 {"ModuleType", "CAcquireDeviceStats::Run REG_VALUE_MODULE_TYPE", false}};
  std::string value, moduleType;
  for (const auto& v : kValues) {
    if (!section.GetValue(v.name, value)) {
      TraceLog(TRACE_ERR, "%s", v.missingLine);
      return -1;
    }
    if (v.deviceInfo)
      deviceInfo.SetValue(v.name, value);
    else
      moduleType = value;
  }
  status = CVCIStatus(m_uiSerial, m_Msg.GetModuleState(), sysComps, apps, appComps, deviceInfo, m_Msg.GetSessions(),
                      m_Msg.GetWireless(), static_cast<uint32_t>(strtoul(moduleType.c_str(), nullptr, 10)));
  return 0;
}

int32_t CAcquireDeviceStats::Store(const CVCIStatus& status, const TimePoint& started, bool& bindingsChanged) {
  CVCIIdentClient& engine = *m_pEngine;
  CVCIIdentClient::CacheSnapshot snapshot;
  {
    // The receive lock as well: writing the cached announcements takes their
    // process-wide sequence counter, which the receive path sets.
    CMutexLock receive(engine.m_RecvLock);
    CMutexLock table(engine.m_TableLock);
    CVCIStatusDynItem item;
    item.m_Status = status;
    item.m_Token[0] = m_Msg.GetTokenLow();
    item.m_Token[1] = m_Msg.GetTokenHigh();
    item.AddKinds(m_Msg.GetKind());
    item.SetKindAddress(started, m_Msg.GetKind(), m_sRemote.c_str());
    // Admitted when it was announced; the bound on the table may be reached
    // meanwhile, by at most the fetches pending.
    engine.AddEntry(m_uiSerial, m_sRemote) = item;
    engine.CacheDetails(m_uiSerial, CVCICachedItem(m_Msg, status));
    snapshot = engine.SnapshotCache();
    // With the entry, so that no reader of the table finds the VCI's
    // address without its binding.
    bindingsChanged = engine.SetIFBindingLocked(m_sLocal, m_sRemote, TimePoint::Now());
  }
  // The file is written and read back without the engine's locks, which
  // every datagram takes; the snapshots' order keeps an earlier one from
  // replacing a later one in the file.
  int32_t stored = 0;
  int32_t r = engine.StoreCache(snapshot, stored);
  if (stored != 0) TraceLog(TRACE_ERR, "CAcquireDeviceStats::Run m_VCICachedMap.Store %d", stored);
  return r;
}
