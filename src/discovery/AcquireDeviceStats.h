// CAcquireDeviceStats: the fetch of a new VCI's details (applications,
// components, product version, date and module type) from the VCI's own
// services, off the receive path so that it never waits for the network.
// The result goes into the engine's live table and detail cache; the
// engine's timeout monitor reaps the finished fetch and reports it.
//
// A fetch is one job of the engine's fetch pool rather than a thread of its
// own: every new serial number that a LAN host announces asks for a fetch,
// and a thread per fetch would let one host create threads without limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Mutex.h"
#include "records/TimePoint.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "service_clients/VCIServiceClient.h"
#include "transport/WorkerPool.h"

class CVCIIdentClient;

class CAcquireDeviceStats final : public CWorkerPool::IJob {
 public:
  // The configuration section that holds the product values.
  enum : uint32_t { PRODUCT_SECTION_KEY = 16 };

  // Copies its arguments; the fetch runs when a worker of the pool takes
  // it. Without an address or an engine it is finished and failed at once,
  // so that the engine reaps it like any other.
  CAcquireDeviceStats(const std::string& remote, const std::string& local, uint32_t moduleType, uint32_t serial,
                      CVCIIdentClient* pEngine, const CVCIIdentMsg& msg);
  CAcquireDeviceStats(const CAcquireDeviceStats&) = delete;
  CAcquireDeviceStats& operator=(const CAcquireDeviceStats&) = delete;
  ~CAcquireDeviceStats() override;

  // The fetch, on a worker of the pool. Takes the engine's m_RecvLock and
  // m_TableLock to store what it found.
  void Run() override;
  // The finished flag, with the success and bindings-changed flags beside
  // it. Takes m_Lock (after m_TableLock).
  bool GetFlags(bool& success, bool& bindingsChanged);
  // Ends the fetch early (or before it runs): nothing is stored. Any thread.
  void Abort();
  const std::string& GetRemote() const { return m_sRemote; }

 private:
  // The service queries into status; 0 or the failing query's code.
  int32_t Fetch(CVCIStatus& status);
  // Live table, detail cache, cache file and binding; the result of
  // reading the cache file back.
  int32_t Store(const CVCIStatus& status, const TimePoint& started, bool& bindingsChanged);
  void Finish(bool success, bool bindingsChanged);
  bool Aborted() const { return m_bAbort.load(); }

  // Constant after construction.
  const uint32_t m_uiSerial;
  const uint32_t m_uiModuleType;
  const std::string m_sRemote;
  const std::string m_sLocal;
  CVCIIdentClient* const m_pEngine;  // Not owned.
  const CVCIIdentMsg m_Msg;

  CMutex m_Lock;
  bool m_bFinished GUARDED_BY(m_Lock) = false;
  bool m_bSuccess GUARDED_BY(m_Lock) = false;
  bool m_bBindingsChanged GUARDED_BY(m_Lock) = false;

  // Used by the fetch's worker; aborted from any thread.
  CVCIServiceClient m_Client;
  std::atomic<bool> m_bAbort{false};
};
