// The connection manager driven as client applications drive it: control
// requests over TCP to port 8098, and an event port that records every
// IdentEvent_Send and acknowledges it (or, on purpose, does not). Runs in
// the test program's private network namespace.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client_service/ClientConnectionMgr.h"
#include "common/SocketPeers.h"
#include "host/Brand.h"
#include "host/TraceCapture.h"
#include "platform/Registry.h"
#include "records/IdentConnect.h"
#include "records/IdentEvent.h"
#include "records/RecordFrame.h"

namespace apptest {

using namespace sockettest;

using recordframe::FrameOf;
using recordframe::Parse;

// One control conversation (from the address from when given); "refused"
// when nothing listens at address.
inline std::string Ask(const std::string& frame, const char* address = "127.0.0.1", const char* from = nullptr,
                       uint16_t port = CClientConnectionMgr::CONTROL_PORT) {
  int s = ConnectTo(address, port, from);
  if (s < 0) return "refused";
  SendAll(s, frame);
  shutdown(s, SHUT_WR);
  std::string reply = ReadFor(s, kGuardMs);
  close(s);
  return reply;
}

// Waits for a condition that must come; false after the guard time.
template <class Condition>
bool WaitUntil(Condition done) {
  for (auto t0 = Clock::now(); !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (MsSince(t0) > kGuardMs) return false;
  return true;
}
// A client application's event port on address: the first connection's
// events are recorded as (code, number of VCIs) and acknowledged unless ack
// is false; while held, the acknowledgement waits. It closes the connection
// when the service does, at once, or never (ends). It registers from address.
class App {
 public:
  enum Ends { WITH_THE_SERVICE, AT_ONCE, NEVER };
  explicit App(bool ack = true, const char* address = "127.0.0.1", Ends ends = WITH_THE_SERVICE) : m_Address(address) {
    m_Listen = BoundSocket(&m_Port, address);
    listen(m_Listen, 1);
    m_Thread = std::thread([this, ack, ends] {
      int s = accept(m_Listen, nullptr, nullptr);
      if (s < 0) return;
      if (ends == AT_ONCE) return (void)close(s);
      m_Conn = s;
      for (std::string frame; (frame = ReadFrame(s)).size() >= 8;) {
        CIdentEvent_Send event;
        Parse(frame, event);
        {
          std::lock_guard<std::mutex> lock(m_Mutex);
          m_Events.emplace_back(event.GetEventCode(), event.m_VCIStatusMap.Count());
        }
        WaitUntil([this] { return !m_bHold.load(); });
        if (ack) SendAll(s, FrameOf(CIdentEvent_Recv(0)));
      }
      if (ends == NEVER) WaitUntil([this] { return m_bGoing.load(); });
      close(s);
    });
  }
  ~App() {
    m_bGoing = true;
    int s = m_Conn.load();
    if (s >= 0) shutdown(s, SHUT_RDWR);
    shutdown(m_Listen, SHUT_RDWR);
    m_Thread.join();
    close(m_Listen);
  }
  // Closes the event connection once the service has made it.
  void Close() {
    ASSERT_TRUE(WaitUntil([this] { return m_Conn.load() >= 0; }));
    shutdown(m_Conn.load(), SHUT_RDWR);
  }
  CIdentConnect_Recv Register(const std::string& name, uint32_t noReplyTimeout = 0, bool persistLog = false,
                              uint16_t controlPort = CClientConnectionMgr::CONTROL_PORT) {
    CIdentConnect_Recv reply;
    Parse(Ask(FrameOf(CIdentConnect_Send(Port(), name, persistLog, noReplyTimeout)), "127.0.0.1", m_Address,
              controlPort),
          reply);
    return reply;
  }
  uint16_t Port() const { return m_Port; }
  void Hold(bool hold) { m_bHold = hold; }
  std::vector<std::pair<uint32_t, size_t>> Events() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
  }

 private:
  const char* m_Address;
  int m_Listen;
  uint16_t m_Port;
  std::atomic<int> m_Conn{-1};
  std::atomic<bool> m_bHold{false};
  std::atomic<bool> m_bGoing{false};
  std::mutex m_Mutex;
  std::vector<std::pair<uint32_t, size_t>> m_Events;  // Guarded by m_Mutex.
  std::thread m_Thread;
};

// Gives the service installation of the test (a testenv::ServiceHome) its
// brand; returns the installation's folder.
inline std::string BrandHome() {
  std::string brand;
  EXPECT_TRUE(EncodeBrandText(GetBrandKeyName(1), brand));
  EXPECT_EQ(platform::RegistrySetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI", "Brand", brand), 0);
  const std::string registry = getenv("VCI_IDENT_REGISTRY");
  return registry.substr(0, registry.rfind('/'));
}

// The trace lines that hold text.
inline long Occurrences(const std::string& text) {
  const std::vector<std::string> lines = tracetest::TraceCapture::Lines();
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}
inline bool Logged(const std::string& text) { return Occurrences(text) != 0; }
inline bool WaitLogged(const std::string& text) { return WaitUntil([&] { return Logged(text); }); }

// A fresh manager per test, initialised on an installation of its own (a
// brand, a home folder, ident.ini from Ini()), whose clients' event
// connections connect without pauses and wait 300 ms for an acknowledgement.
class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VCI_REQUIRE_NET_NAMESPACE();
    m_Trace.reset(new tracetest::TraceCapture(Ini()));
    std::string brand;
    ASSERT_TRUE(EncodeBrandText(GetBrandKeyName(1), brand));
    testenv::WriteFile(m_Trace->RegistryPath(),
                       tracetest::RegistryText(Home(), Home()) + "\"Brand\"=\"" + brand + "\"\n");
    tracetest::TraceCapture::Clear();
    mgr.reset(new CClientConnectionMgr);
    CClientSocket::Timeouts timeouts;
    timeouts.uiConnectPauseMs = 1;
    timeouts.uiReplyFloorMs = 300;
    mgr->SetClientSocketTimeouts(timeouts);
    ASSERT_EQ(mgr->Initialize(), 0);
  }
  void TearDown() override {
    if (!mgr) return;
    mgr->Uninitialize();
    mgr->DisconnectClients();
  }
  virtual std::string Ini() { return "[Log]\nLevel=info\n[Mode]\nShowWindow=true\n"; }
  std::string Home() const { return m_Trace->Dir().Path(); }
  size_t Listed() {
    CVCIStatusMap map;
    mgr->GetEngine().GetVCIStatusMap(map);
    return map.Count();
  }

  std::unique_ptr<tracetest::TraceCapture> m_Trace;
  std::unique_ptr<CClientConnectionMgr> mgr;
};

}  // namespace apptest
