// CCheckDeviceRoute: the route check of a VCI heard from an address on none
// of the PC's subnets and not yet bound. Its announcements are not trusted
// until the VCI has answered an application query through the interface
// that heard it; then the address is bound to that interface and later
// announcements pass. Runs as a job of the engine's route-check pool (not a
// thread of its own, which every spoofed sender address would start); the
// engine's timeout monitor drops it once finished. A binding it makes sends
// no event of its own: clients see it with the engine's next table or
// bindings event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Mutex.h"
#include "service_clients/VCIServiceClient.h"
#include "transport/WorkerPool.h"

class CVCIIdentClient;

class CCheckDeviceRoute final : public CWorkerPool::IJob {
 public:
  // Sets up the check; it runs when a worker of the pool takes it. Without
  // a remote address or an engine the check is finished at once (and binds
  // nothing).
  CCheckDeviceRoute(const std::string& remote, const std::string& local, CVCIIdentClient* pEngine, uint32_t brand,
                    uint32_t serial);
  CCheckDeviceRoute(const CCheckDeviceRoute&) = delete;
  CCheckDeviceRoute& operator=(const CCheckDeviceRoute&) = delete;
  ~CCheckDeviceRoute() override;

  // The check, on a worker of the pool. Takes the engine's m_TableLock to
  // bind.
  void Run() override;
  // Takes m_Lock (after m_TableLock).
  bool IsFinished();
  // Ends the check early: nothing is bound. Any thread.
  void Abort();

 private:
  void Finish();

  // Constant after construction.
  const std::string m_sRemote;
  const std::string m_sLocal;
  CVCIIdentClient* const m_pEngine;  // Not owned.

  CMutex m_Lock;
  bool m_bFinished GUARDED_BY(m_Lock) = false;
  // Used by the check's worker; aborted from any thread.
  CVCIServiceClient m_Client;
  std::atomic<bool> m_bAbort{false};
};
