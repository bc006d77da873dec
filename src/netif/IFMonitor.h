// CIFMonitor: the process-wide watcher of the PC's IPv4 interfaces. It keeps
// the current CIFList, and a worker thread woken by the address-change
// notification refreshes it and tells the listeners when it changed.
//
// Lock order: m_Lock is taken on its own; listeners are always called
// without it, because the discovery engine's OnIFNotify calls GetIFList.
// A listener is called only while it is registered, and Unregister waits for
// a call to it in progress: once Unregister has returned, the listener is
// never called again and its owner may free it.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <thread>

#include "base/Thread.h"
#include "netif/IFList.h"
#include "platform/AdapterInfo.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"

class IIFEvent {
 public:
  virtual ~IIFEvent() = default;
  // The interface set has changed; fetch it with CIFMonitor::GetIFList.
  virtual void OnIFNotify() = 0;
  // The monitor has cleared its list because of an error.
  virtual void OnIFError(int32_t iError) = 0;
};

enum : int32_t { IF_ERR_NULL_LISTENER = 20514, IF_ERR_ENUMERATION = 20515 };

// Adapter descriptions of a VCI's USB network adapter, tested in this order.
extern const char* const kRndisDescriptions[3];

class CIFMonitor : public IThread {
 public:
  static CIFMonitor& GetInstance();

  CIFMonitor();
  ~CIFMonitor() override;

  // Fills list with the adapters (see the .cpp) plus the loopback entry:
  // 0, -1 (no memory), 20515 (enumeration failed) or the failing AddIF
  // result. No adapter at all gives 0 and an empty list.
  int RefreshAddressList(CIFList& list);
  int Start();
  // 20514 for a null listener; otherwise the Start result or 0, with the
  // current list copied out when all went well.
  int Register(IIFEvent* pListener, CIFList& list);
  // 0, or -1 when not registered. Waits for a call to the listener in
  // progress, unless called from the monitor thread itself (from inside a
  // listener call), where waiting would never end.
  int Unregister(IIFEvent* pListener);
  // -1 when not started; otherwise forgets listeners and list, ends the
  // thread and returns 0.
  int Stop();
  int GetIFList(CIFList& list);

  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

 private:
  // Marks the thread as ending and wakes it; true when there was one to end.
  bool BeginThreadStop() REQUIRES(m_Lock);
  // Joins the thread and closes the semaphore.
  void FinishThreadStop() EXCLUDES(m_Lock);
  // Calls each listener of the snapshot that is still registered, the error
  // (when not 0) or the change.
  void NotifyListeners(const std::list<IIFEvent*>& snapshot, int32_t error) EXCLUDES(m_Lock);

  CRecursiveMutex m_Lock;
  std::list<IIFEvent*> m_Listeners GUARDED_BY(m_Lock);  // Not owned.
  bool m_bStarted GUARDED_BY(m_Lock) = false;
  bool m_bThreadRunning GUARDED_BY(m_Lock) = false;
  CIFList m_IFList GUARDED_BY(m_Lock);
  // The listener being called by the monitor thread, or null; its end is
  // signalled on m_CallEnded.
  IIFEvent* m_pCalling GUARDED_BY(m_Lock) = nullptr;
  std::thread::id m_MonitorThread GUARDED_BY(m_Lock);
  CRecursiveCondVar m_CallEnded;
  // Created by Start, closed by Stop after the thread has been joined.
  CWakeSemaphore m_WakeSemaphore;
  std::atomic<bool> m_bStop{false};
};
