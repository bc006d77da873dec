// CCheckDeviceRoute: the route check of a VCI heard from an address on none
// of the PC's subnets and not yet bound. Its announcements are not trusted
// until the VCI has answered an application query through the interface
// that heard it; then the address is bound to that interface and later
// announcements pass. Runs on a thread of its own; the engine's timeout
// monitor deletes it once finished. A binding it makes sends no event of
// its own: clients see it with the engine's next table or bindings event.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "service_clients/VCIServiceClient.h"
#include "transport/Thread.h"

class CVCIIdentClient;

class CCheckDeviceRoute final : public IThread {
 public:
  // Starts the check. Without a remote address or an engine, or when the
  // thread cannot start, the check is finished at once (and binds nothing).
  CCheckDeviceRoute(const std::string& remote, const std::string& local, CVCIIdentClient* pEngine, uint32_t brand,
                    uint32_t serial);
  // Aborts the check and joins its thread. Requires the engine's
  // m_TableLock not held.
  ~CCheckDeviceRoute() override;

  void Run(uint32_t uiArg1, uint32_t uiArg2) override;
  // Takes the thread's own lock (after m_TableLock).
  bool IsFinished();
  // Ends the check early: nothing is bound. Any thread.
  void Abort();

 private:
  void Finish();

  // Constant after construction.
  const std::string m_sRemote;
  const std::string m_sLocal;

  // Guarded by GetLock().
  bool m_bFinished = false;
  CVCIIdentClient* const m_pEngine;  // Not owned.
  // Used by the check's thread; aborted from any.
  CVCIServiceClient m_Client;
  std::atomic<bool> m_bAbort{false};
};
