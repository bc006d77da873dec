#include "SimAnnouncer.h"

#include <cstdio>

#include "SimVci.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ClientSocket.h"
#include "transport/SocketTypes.h"

namespace vcisim {

CSimAnnouncer::CSimAnnouncer(const std::vector<CSimVci*>& vcis, const std::string& multicastInterface,
                             uint32_t intervalMs, int verbosity)
    : m_Vcis(vcis), m_sMulticastInterface(multicastInterface), m_uiIntervalMs(intervalMs), m_iVerbosity(verbosity) {}

CSimAnnouncer::~CSimAnnouncer() { Close(); }

int CSimAnnouncer::Open() {
  for (CSimVci* vci : m_Vcis) {
    std::unique_ptr<CClientSocket> socket(new CClientSocket(false));
    // Multicast type: the remote text names the interface to send through,
    // the local text the VCI's own address, which the datagram comes from.
    int iRet = socket->Initialize(this, SOCKTYPE_UDP_MULTICAST, m_sMulticastInterface, vci->GetAddress(),
                                  ANNOUNCE_PORT, true);
    if (iRet != 0) {
      fprintf(stderr, "vci-sim: %u: cannot announce from %s through %s: error %d\n", vci->GetSerial(),
              vci->GetAddress().c_str(), m_sMulticastInterface.c_str(), iRet);
      m_Sockets.clear();
      return iRet;
    }
    m_Sockets.push_back(std::move(socket));
  }
  return Start() == 0 ? 0 : -1;
}

void CSimAnnouncer::Close() {
  Stop();
  for (auto& socket : m_Sockets) socket->Shutdown(CClientSocket::SHUTDOWN_ABORT);
  m_Sockets.clear();
}

void CSimAnnouncer::Run(uint32_t, uint32_t) {
  SignalStarted();
  typedef std::chrono::steady_clock Clock;
  const std::chrono::milliseconds interval(m_uiIntervalMs);
  Clock::time_point round = Clock::now();
  for (;;) {
    uint32_t sent = 0, failed = 0, silent = 0;
    for (size_t i = 0; i < m_Vcis.size() && i < m_Sockets.size(); ++i) {
      if (!WaitUntil(round + std::chrono::milliseconds(m_Vcis[i]->GetPhase()))) return;
      if (!m_Vcis[i]->IsAnnouncing()) {
        ++silent;
        continue;
      }
      CArchiveBuffer ar(CArchiveBuffer::STORING);
      if (m_Vcis[i]->BuildAnnouncement(ar) && m_Sockets[i]->SendOnly_ArchiveBuffer(ar) == 0)
        ++sent;
      else
        ++failed;
    }
    if (m_iVerbosity >= 1)
      fprintf(stderr, "vci-sim: announced %u VCIs to %s:%d through %s (%u silent, %u failed)\n", sent,
              VCI_MULTICAST_GROUP, ANNOUNCE_PORT, m_sMulticastInterface.c_str(), silent, failed);
    round += interval;
    // After a stall of a whole interval the rounds start afresh: sending
    // what was missed at once would turn the spread into bursts.
    const Clock::time_point now = Clock::now();
    if (now > round + interval) round = now;
    if (!WaitUntil(round)) return;
  }
}

bool CSimAnnouncer::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  CMutexLock lock(GetLock());
  for (;;) {
    if (IsStopRequested()) return false;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return true;
    // Whole milliseconds, rounded up: a VCI announces at its phase or just
    // after it, never before.
    WaitForStop(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  }
}

bool CSimAnnouncer::OnErrorDetected(int code) {
  (void)code;
  return false;
}

}  // namespace vcisim
