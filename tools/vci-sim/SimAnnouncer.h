// CSimAnnouncer: the thread that sends every simulated VCI's announcement
// once every interval, each VCI at its own phase in the interval (all at
// phase 0 make one burst) from its own address through the multicast
// interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Thread.h"
#include "transport/ClientSocketEvent.h"

class CClientSocket;

namespace vcisim {

class CSimVci;

class CSimAnnouncer : public IThread, public IClientSocketEvent {
 public:
  enum : uint32_t { ANNOUNCE_PORT = 8194 };

  // The VCIs in the order of their phases.
  CSimAnnouncer(const std::vector<CSimVci*>& vcis, const std::string& multicastInterface, uint32_t intervalMs,
                int verbosity);
  ~CSimAnnouncer() override;

  // Creates one multicast socket per VCI and starts the thread. 0, or the
  // client socket's error code of the first VCI that cannot send.
  int Open();
  void Close();
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;
  bool OnErrorDetected(int code) override;

 private:
  // Sleeps until deadline; false when a stop came first.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

  const std::vector<CSimVci*> m_Vcis;  // Not owned.
  const std::string m_sMulticastInterface;
  const uint32_t m_uiIntervalMs;
  const int m_iVerbosity;
  // One per VCI; used by the announcing thread only once it runs.
  std::vector<std::unique_ptr<CClientSocket>> m_Sockets;
};

}  // namespace vcisim
