#include "netif/IFMonitor.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "host/TraceLog.h"

const char* const kRndisDescriptions[3] = {"USB Ethernet/RNDIS Gadget", "KIVO USB Remote NDIS Network Device",
                                           "KIVO VCI USB RNDIS Device"};

namespace {

std::string DottedOf(uint32_t hostOrder) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", (hostOrder >> 24) & 0xFF, (hostOrder >> 16) & 0xFF,
           (hostOrder >> 8) & 0xFF, hostOrder & 0xFF);
  return text;
}

// Host-order value of a dotted text; 0 for anything unreadable.
uint32_t ParseDotted(const std::string& text) {
  unsigned a, b, c, d;
  char tail;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
      d > 255)
    return 0;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

int32_t KindOf(const std::string& description) {
  for (const char* text : kRndisDescriptions)
    if (description.find(text) != std::string::npos) return IF_USB;
  return IF_ETHERNET;
}

}  // namespace

CIFMonitor& CIFMonitor::GetInstance() {
  static CIFMonitor instance;
  return instance;
}

CIFMonitor::CIFMonitor() = default;

CIFMonitor::~CIFMonitor() {
  // The instance lives until process exit; a thread still running then is
  // ended here so that its join does not outlive the object.
  Stop();
}

int CIFMonitor::RefreshAddressList(CIFList& list) {
  CMutexLock lock(m_Lock);
  list.Clear();
  std::vector<CAdapterInfo> adapters;
  DWORD err;
  try {
    err = GetAdaptersInfo(adapters);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (err == ERROR_NOT_ENOUGH_MEMORY) return -1;
  if (err == ERROR_NO_DATA) return 0;
  if (err != ERROR_SUCCESS) return IF_ERR_ENUMERATION;
  for (const CAdapterInfo& a : adapters) {
    const std::string& address = a.IpAddressList.front().IpAddress;
    const std::string& mask = a.IpAddressList.front().IpMask;
    int32_t eIF = KindOf(a.Description);
    if (eIF == IF_ETHERNET && address == "0.0.0.0") continue;
    std::string broadcast = DottedOf(ParseDotted(address) | ~ParseDotted(mask));
    char hw[18];
    snprintf(hw, sizeof hw, "%02X:%02X:%02X:%02X:%02X:%02X", a.Address[0], a.Address[1], a.Address[2],
             a.Address[3], a.Address[4], a.Address[5]);
    int r = list.AddIF(address.c_str(), mask.c_str(), broadcast.c_str(), hw, eIF, a.AdapterName);
    if (r != 0) {
      TraceLog(TRACE_ERR, "IF_Mon::RefreshAddressList Error Adding Interface iRet = %d", r);
      return r;
    }
  }
  return list.AddIF("127.0.0.1", "255.0.0.0", "255.0.0.0", "00:01:02:03:04:05", IF_LOCAL, "");
}

// A first refresh that fails leaves the thread and the semaphore in place and
// the monitor not started. The thread keeps watching (its own refreshes fill
// the current list), and a later Start only retries the refresh: one thread
// and one semaphore per start-stop cycle, so a caller that retries (as the
// discovery engine does) never piles up workers.
int CIFMonitor::Start() {
  TraceLog(TRACE_INFO, "CIFMonitor::Start Entering");
  CMutexLock lock(m_Lock);
  if (!m_bThreadRunning) {
    if (!m_WakeSemaphore.Create(0, 100)) {
      TraceLog(TRACE_ERR, "CIFMonitor::Start Error creating the wake semaphore");
      return -1;
    }
    m_bStop = false;
    if (IThread::Start() != 0) {
      TraceLog(TRACE_ERR, "CIFMonitor::Start Error starting the thread");
      m_WakeSemaphore.Close();
      return -1;
    }
    m_bThreadRunning = true;
  }
  int r = RefreshAddressList(m_IFList);
  if (r == 0) m_bStarted = true;
  else TraceLog(TRACE_ERR, "CIFMonitor::Start RefreshAddressList failed iRet = %d", r);
  TraceLog(TRACE_INFO, "CIFMonitor::Start Leaving");
  return r;
}

int CIFMonitor::Register(IIFEvent* pListener, CIFList& list) {
  TraceLog(TRACE_INFO, "CIFMonitor::Register Entering");
  if (!pListener) {
    TraceLog(TRACE_ERR, "CIFMonitor::Register null listener iRet = %d", IF_ERR_NULL_LISTENER);
    return IF_ERR_NULL_LISTENER;
  }
  CMutexLock lock(m_Lock);
  m_Listeners.push_back(pListener);
  int r = 0;
  if (!m_bStarted) r = Start();
  if (r == 0) list = m_IFList;
  TraceLog(TRACE_INFO, "CIFMonitor::Register Leaving");
  return r;
}

int CIFMonitor::Unregister(IIFEvent* pListener) {
  TraceLog(TRACE_INFO, "CIFMonitor::Unregister Entering");
  CMutexLock lock(m_Lock);
  auto it = std::find(m_Listeners.begin(), m_Listeners.end(), pListener);
  if (it == m_Listeners.end()) {
    TraceLog(TRACE_ERR, "CIFMonitor::Unregister listener not registered");
    return -1;
  }
  m_Listeners.erase(it);
  if (std::this_thread::get_id() != m_MonitorThread)
    while (m_pCalling == pListener) m_CallEnded.Wait(m_Lock);
  TraceLog(TRACE_INFO, "CIFMonitor::Unregister Leaving");
  return 0;
}

void CIFMonitor::NotifyListeners(const std::list<IIFEvent*>& snapshot, int32_t error) {
  for (IIFEvent* p : snapshot) {
    {
      CMutexLock lock(m_Lock);
      if (std::find(m_Listeners.begin(), m_Listeners.end(), p) == m_Listeners.end()) continue;
      m_pCalling = p;
    }
    if (error != 0) {
      TraceLog(TRACE_INFO, "IF_Mon::Run NotifyError %d", error);
      p->OnIFError(error);
      TraceLog(TRACE_INFO, "IF_Mon::Run After NotifyError");
    } else {
      TraceLog(TRACE_INFO, "IF_Mon::Run Notify");
      p->OnIFNotify();
      TraceLog(TRACE_INFO, "IF_Mon::Run After Notify");
    }
    CMutexLock lock(m_Lock);
    m_pCalling = nullptr;
    m_CallEnded.NotifyAll();
  }
}

bool CIFMonitor::BeginThreadStop() {
  if (!m_bThreadRunning) return false;
  m_bThreadRunning = false;
  m_bStop = true;
  m_WakeSemaphore.Release();
  return true;
}

void CIFMonitor::FinishThreadStop() {
  // Joined without m_Lock: the thread may be waiting for it to refresh. It
  // checks the stop flag once it holds the lock and leaves without touching
  // the list. The semaphore's descriptor is polled by the thread, so it is
  // closed only after the join.
  IThread::Stop();
  m_WakeSemaphore.Close();
}

int CIFMonitor::Stop() {
  TraceLog(TRACE_INFO, "CIFMonitor::Stop Entering");
  CUniqueLock lock(m_Lock);
  if (!m_bStarted) {
    // A Start whose refresh failed left a thread behind: end it too, so that
    // nothing outlives the monitor's use.
    bool join = BeginThreadStop();
    lock.Unlock();
    if (join) FinishThreadStop();
    TraceLog(TRACE_INFO, "CIFMonitor::Stop Leaving");
    return -1;
  }
  m_Listeners.clear();
  m_IFList.Clear();
  m_bStarted = false;
  bool join = BeginThreadStop();
  lock.Unlock();
  if (join) FinishThreadStop();
  TraceLog(TRACE_INFO, "CIFMonitor::Stop Leaving");
  return 0;
}

int CIFMonitor::GetIFList(CIFList& list) {
  CMutexLock lock(m_Lock);
  int r = 0;
  if (!m_bStarted) r = Start();
  if (r == 0) list = m_IFList;
  return r;
}

// Which refresh results are reported through OnIFError: results 1 to 4 are
// passed on, but the enumeration never produces them. Its own failures (-1,
// 20515) are transient (a kernel that could not answer one dump); reporting
// them would make the discovery engine close every announcement socket and
// lose its bindings for a hiccup. Keeping the last good list and waiting for
// the next change is the gentler answer, so nothing else is reported.
void CIFMonitor::Run(uint32_t, uint32_t) {
  // The notification is armed before Start goes on to its first refresh, so
  // that a change right after that refresh is already queued for this thread.
  CAddrChangeNotify notify;
  notify.Request();
  SignalStarted();
  {
    // Only after SignalStarted: Start holds m_Lock while it waits for it.
    CMutexLock lock(m_Lock);
    m_MonitorThread = std::this_thread::get_id();
  }
  for (;;) {
    CAddrChangeNotify* pNotify = &notify;
    if (notify.Request() != ERROR_IO_PENDING) {
      TraceLog(TRACE_ERR, "IF_Mon::Run NotifyAddrChange error");
      pNotify = nullptr;
    }
    CAddrChangeNotify::WaitResult w = CAddrChangeNotify::Wait(pNotify, m_WakeSemaphore);
    if (m_bStop) break;
    if (w == CAddrChangeNotify::WAIT_FAILED) {
      // A wait that fails would fail again at once; the thread ends here and
      // Stop joins it as usual. The list stays as it was.
      TraceLog(TRACE_ERR, "IF_Mon::Run NotifyAddrChange error");
      break;
    }
    bool changed = false;
    int32_t error = 0;
    std::list<IIFEvent*> listeners;
    {
      CMutexLock lock(m_Lock);
      if (m_bStop) break;
      CIFList fresh;
      int r = RefreshAddressList(fresh);
      if (r >= 1 && r <= 4) {
        error = r;
        TraceLog(TRACE_ERR, "IF_Mon::Run Error Detected %d", r);
      } else if (r != 0) {
        continue;
      } else if (fresh != m_IFList) {
        changed = true;
        m_IFList = fresh;
      }
      if (error != 0) m_IFList.Clear();
      listeners = m_Listeners;
    }
    if (error != 0) NotifyListeners(listeners, error);
    if (changed) NotifyListeners(listeners, 0);
  }
  notify.Close();
}
