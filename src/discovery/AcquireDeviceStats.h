// CAcquireDeviceStats: the fetch of a new VCI's details (applications,
// components, product version, date and module type) from the VCI's own
// services, on a thread of its own so that the receive path never waits for
// the network. The result goes into the engine's live table and detail
// cache; the engine's timeout monitor reaps the finished fetch and reports
// it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "discovery/TimePoint.h"
#include "discovery/VCIIdentMsg.h"
#include "discovery/VCIStatus.h"
#include "service_clients/VCIServiceClient.h"
#include "transport/Thread.h"

class CVCIIdentClient;

class CAcquireDeviceStats final : public IThread {
 public:
  // The configuration section that holds the product values.
  enum : uint32_t { PRODUCT_SECTION_KEY = 16 };

  // Copies its arguments and starts the fetch. Without an address or an
  // engine, or when the thread cannot start, the fetch is finished and
  // failed at once, so that the engine reaps it like any other.
  CAcquireDeviceStats(const std::string& remote, const std::string& local, uint32_t moduleType, uint32_t serial,
                      CVCIIdentClient* pEngine, const CVCIIdentMsg& msg);
  // Aborts the fetch and joins its thread. Requires the engine's
  // m_TableLock not held.
  ~CAcquireDeviceStats() override;

  void Run(uint32_t uiArg1, uint32_t uiArg2) override;
  // The finished flag, with the success and bindings-changed flags beside
  // it. Takes the thread's own lock (after m_TableLock).
  bool GetFlags(bool& success, bool& bindingsChanged);
  // Ends the fetch early: nothing is stored. Any thread.
  void Abort();

 private:
  // The service queries into status; 0 or the failing query's code.
  int32_t Fetch(CVCIStatus& status);
  // Live table, detail cache, cache file and binding; the result of
  // reading the cache file back.
  int32_t Store(const CVCIStatus& status, const TimePoint& started, bool& bindingsChanged);
  void Finish(bool success, bool bindingsChanged);
  bool Aborted() const { return m_bAbort.load() || IsStopRequested(); }

  // Constant after construction.
  const uint32_t m_uiSerial;
  const uint32_t m_uiModuleType;
  const std::string m_sRemote;
  const std::string m_sLocal;
  CVCIIdentClient* const m_pEngine;  // Not owned.
  const CVCIIdentMsg m_Msg;

  // Guarded by GetLock().
  bool m_bFinished = false;
  bool m_bSuccess = false;
  bool m_bBindingsChanged = false;

  // Used by the fetch thread; aborted from any.
  CVCIServiceClient m_Client;
  std::atomic<bool> m_bAbort{false};
};
