// vci-sim as the tests and developers meet it: its announcements as a
// listener on 127.0.0.1:8194 receives them, its command line and identity
// file, many VCIs in one process, and its run-time commands.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "discovery/RecoveryStatus.h"
#include "discovery/VCIIdentMsg.h"
#include "discovery/VCIStatus.h"
#include "discovery/VCIStatusMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "service_clients/AppList.h"
#include "service_clients/AppServiceClient.h"
#include "service_clients/WireBytes.h"
#include "tools/SimProcess.h"
#include "transport/ServerEvent.h"
#include "transport/ServerSocket.h"
#include "transport/SocketTypes.h"

using testenv::SimProcess;

namespace {

struct Datagram {
  std::string sender;
  std::vector<uint8_t> content;
};

// Every announcement that reaches 225.1.1.1:8194 on the loopback interface.
class AnnouncementListener : public IServerEvent {
 public:
  AnnouncementListener() : m_Socket(this, false) {
    m_Socket.SetLocalAddress("127.0.0.1");
    m_iInit = m_Socket.Initialize(SOCKTYPE_UDP_MULTICAST, 8194, false);
  }
  ~AnnouncementListener() override { m_Socket.Shutdown(); }
  int InitResult() const { return m_iInit; }

  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer&, const std::string& remoteAddress,
                     const std::string&) override {
    uint8_t* data;
    uint32_t length;
    request.GetContent(data, length);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Received.push_back(Datagram{remoteAddress, std::vector<uint8_t>(data, data + length)});
    m_Cond.notify_all();
    return 0;
  }
  bool OnErrorDetected(int) override { return false; }

  // The first datagram from sender received after index from, waiting up
  // to timeoutMs; false when none came.
  bool WaitFrom(const std::string& sender, size_t from, int timeoutMs, Datagram& out, size_t* index = nullptr) {
    std::unique_lock<std::mutex> lock(m_Lock);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (size_t i = from; i < m_Received.size(); ++i) {
        if (m_Received[i].sender == sender) {
          out = m_Received[i];
          if (index) *index = i;
          return true;
        }
      }
      if (m_Cond.wait_until(lock, until) == std::cv_status::timeout) return false;
    }
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Received.size();
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::vector<Datagram> m_Received;
  CServerSocket m_Socket;
  int m_iInit;
};

// Reads the little-endian fields of a datagram, written from the layouts.
class Fields {
 public:
  explicit Fields(const std::vector<uint8_t>& b) : m_B(b) {}
  uint32_t U8() { return Take(1) ? m_B[m_Pos - 1] : 0; }
  int32_t S8() { return static_cast<int8_t>(U8()); }
  uint32_t U32() {
    if (!Take(4)) return 0;
    const uint8_t* p = &m_B[m_Pos - 4];
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  std::string Str() {
    uint32_t n = U32();
    if (!Take(n)) return std::string();
    return std::string(m_B.begin() + (m_Pos - n), m_B.begin() + m_Pos);
  }
  std::string Hex(uint32_t n) {
    std::string s;
    char buf[3];
    for (uint32_t i = 0; i < n && Take(1); ++i) {
      snprintf(buf, sizeof buf, "%02x", m_B[m_Pos - 1]);
      s += buf;
    }
    return s;
  }
  bool AtEnd() const { return m_Pos == m_B.size() && m_bOk; }
  bool Ok() const { return m_bOk; }

 private:
  bool Take(size_t n) {
    if (!m_bOk || m_B.size() - m_Pos < n) return m_bOk = false;
    m_Pos += n;
    return true;
  }
  const std::vector<uint8_t>& m_B;
  size_t m_Pos = 0;
  bool m_bOk = true;
};

std::string Pair(const CArgList& list, const char* name) {
  std::string v;
  return list.GetValue(name, v) ? v : "<absent>";
}

}  // namespace

// Every format and layout version the simulator offers, each from its own
// address: the fields in their wire order, and the service's own records
// reading them back.
TEST(VciSim, AnnouncesEachFormatFromItsOwnAddressAndTheRecordsReadIt) {
  VCI_REQUIRE_NET_NAMESPACE();
  AnnouncementListener listener;
  ASSERT_EQ(0, listener.InitResult());
  SimProcess v3({"--address", "127.0.0.2", "--serial", "4711", "--interval", "100", "--device-token",
                 "a1b2c3d4e5f60718", "--interface-kind", "4", "--module-type", "9", "--wireless", "55:1:-75:-90",
                 "--session", "3:1:tester:bench 7"});
  SimProcess v2({"--address", "127.0.0.3", "--serial", "4712", "--interval", "100", "--msg-version", "2"});
  SimProcess v1({"--address", "127.0.0.4", "--serial", "4713", "--interval", "100", "--msg-version", "1",
                 "--wireless", "80", "--module-type", "9"});
  SimProcess legacy2({"--address", "127.0.0.5", "--serial", "4714", "--interval", "100", "--format", "legacy",
                      "--product-version", "2.1.3", "--product-date", "20260105", "--module-state", "3",
                      "--interface-kind", "4", "--session", "5:8:local:app", "--session", "6:4:air:link"});
  SimProcess legacy1({"--address", "127.0.0.6", "--serial", "4715", "--interval", "100", "--format", "legacy",
                      "--msg-version", "1", "--module-state", "3"});
  SimProcess recovery({"--address", "127.0.0.7", "--serial", "4716", "--interval", "100", "--format", "recovery",
                       "--module-state", "2", "--interface-kind", "1"});
  ASSERT_TRUE(v3.Ready() && v2.Ready() && v1.Ready() && legacy2.Ready() && legacy1.Ready() && recovery.Ready());

  const uint32_t zones[] = {30, 50, 60, 100};
  Datagram d;
  {
    SCOPED_TRACE("current, version 3");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.2", 0, 3000, d));
    Fields f(d.content);
    EXPECT_EQ(2157u, f.U32());
    EXPECT_EQ(3u, f.U8());
    EXPECT_EQ(4711u, f.U32());
    EXPECT_EQ("a1b2c3d4e5f60718", f.Hex(8));
    EXPECT_EQ(4u, f.U8());  // interface kind
    EXPECT_EQ(0u, f.U8());  // module state
    EXPECT_EQ(2118u, f.U32());
    EXPECT_EQ(0u, f.U32());  // result
    EXPECT_EQ(1u, f.U8());   // session list version
    ASSERT_EQ(1u, f.U8());
    EXPECT_EQ(2117u, f.U32());
    EXPECT_EQ(1u, f.U32());
    EXPECT_EQ(3u, f.U32());
    EXPECT_EQ("tester", f.Str());
    EXPECT_EQ("bench 7", f.Str());
    EXPECT_EQ("127.0.0.2", f.Str());  // a session without address uses the VCI's
    EXPECT_EQ(1u, f.U32());
    EXPECT_EQ(0u, f.U32());
    f.U8();                  // sequence
    EXPECT_EQ(1u, f.U8());   // wireless flag
    EXPECT_EQ(1u, f.U8());   // access-point state
    EXPECT_EQ(55u, f.U8());  // raw link quality
    EXPECT_EQ(-75, f.S8());
    EXPECT_EQ(-90, f.S8());
    EXPECT_EQ(9u, f.U8());  // module type
    EXPECT_TRUE(f.AtEnd());

    CVCIIdentMsg msg;
    msg.SetLinkQualityZones(4, zones);
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.GetVersion(), 3);
    EXPECT_EQ(msg.GetSerial(), 4711u);
    EXPECT_EQ(msg.GetTokenLow(), 0xD4C3B2A1u);  // the token bytes in wire order
    EXPECT_EQ(msg.GetTokenHigh(), 0x1807F6E5u);
    EXPECT_EQ(msg.GetKind(), static_cast<uint32_t>(VCI_KIND_WIRELESS));
    EXPECT_EQ(msg.GetModuleState(), 0u);
    EXPECT_EQ(msg.GetModuleType(), 9u);
    ASSERT_EQ(msg.GetSessions().m_Sessions.size(), 1u);
    EXPECT_EQ(msg.GetSessions().m_Sessions[0].m_strText2, "bench 7");
    EXPECT_EQ(Pair(msg.GetWireless(), "ap-state"), "1");
    EXPECT_EQ(Pair(msg.GetWireless(), "link-quality"), "2");
    EXPECT_EQ(Pair(msg.GetWireless(), "link-quality-raw"), "55");
    EXPECT_EQ(Pair(msg.GetWireless(), "signal-level"), "-75");
    EXPECT_EQ(Pair(msg.GetWireless(), "noise-level"), "-90");

    // The sequence byte moves on from one announcement to the next.
    size_t at = 0;
    ASSERT_TRUE(listener.WaitFrom("127.0.0.2", 0, 3000, d, &at));
    ASSERT_TRUE(wire::Load(msg, d.content));
    uint8_t first = CVCIIdentMsg::GetSequenceCounter();
    ASSERT_TRUE(listener.WaitFrom("127.0.0.2", at + 1, 3000, d));
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_NE(CVCIIdentMsg::GetSequenceCounter(), first);
  }
  {
    SCOPED_TRACE("current, version 2 without wireless");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.3", 0, 3000, d));
    CVCIIdentMsg msg;
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.GetVersion(), 2);
    EXPECT_EQ(msg.GetSerial(), 4712u);
    EXPECT_EQ(msg.GetKind(), static_cast<uint32_t>(VCI_KIND_ETHERNET));
    EXPECT_EQ(msg.GetWireless().Count(), 1u);
    EXPECT_EQ(Pair(msg.GetWireless(), "IFEnable"), "False");
    EXPECT_EQ(msg.GetModuleType(), 0u);  // version 2 does not carry it
  }
  {
    SCOPED_TRACE("current, version 1");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.4", 0, 3000, d));
    Fields f(d.content);
    EXPECT_EQ(2157u, f.U32());
    EXPECT_EQ(1u, f.U8());
    EXPECT_EQ(4713u, f.U32());
    f.Hex(8);
    f.U8();
    f.U8();
    f.U32();
    f.U32();
    f.U8();
    EXPECT_EQ(0u, f.U8());  // no sessions
    f.U8();                 // sequence; nothing after it in version 1
    EXPECT_TRUE(f.AtEnd());

    CVCIIdentMsg msg;
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.GetVersion(), 1);
    EXPECT_EQ(msg.GetSerial(), 4713u);
    EXPECT_EQ(msg.GetWireless().Count(), 0u);
    EXPECT_EQ(msg.GetModuleType(), 0u);
    EXPECT_TRUE(msg.GetSessions().m_Sessions.empty());
  }
  {
    SCOPED_TRACE("legacy, version 2");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.5", 0, 3000, d));
    Fields f(d.content);
    EXPECT_EQ(2026u, f.U32());
    EXPECT_EQ(2u, f.U32());
    f.Str();
    EXPECT_EQ("127.0.0.5", f.Str());  // Wireless
    EXPECT_EQ("0.0.0.0", f.Str());    // USB
    EXPECT_EQ("0.0.0.0", f.Str());    // Ethernet
    EXPECT_EQ(4714u, f.U32());
    EXPECT_EQ(0x020103u, f.U32());
    EXPECT_EQ(20260105u, f.U32());
    for (int i = 0; i < 4; ++i) f.U32();
    EXPECT_EQ(1u, f.U32());  // module type
    EXPECT_EQ(0u, f.U32());  // Ethernet flag
    EXPECT_EQ(1u, f.U32());  // Wireless flag
    EXPECT_EQ(0u, f.U32());  // USB flag
    f.U32();
    ASSERT_EQ(2u, f.U32());
    EXPECT_EQ(2025u, f.U32());
    EXPECT_EQ(0u, f.U8());
    EXPECT_EQ(5u, f.U32());
    EXPECT_EQ("Local", f.Str());
    EXPECT_EQ("local", f.Str());
    EXPECT_EQ("app", f.Str());
    EXPECT_EQ(2025u, f.U32());
    EXPECT_EQ(0u, f.U8());
    EXPECT_EQ(6u, f.U32());
    EXPECT_EQ("Wireless", f.Str());
    EXPECT_EQ("air", f.Str());
    EXPECT_EQ("link", f.Str());
    EXPECT_EQ(3u, f.U32());  // module state
    EXPECT_TRUE(f.AtEnd());

    CVCIStatusMsg msg;
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.m_uiSerial, 4714u);
    EXPECT_EQ(msg.m_uiProductVersion, 0x020103u);
    EXPECT_EQ(msg.m_uiProductDate, 20260105u);
    EXPECT_EQ(msg.m_uiModuleState, 3u);
    CVCIIdentMsg ident = msg.ToIdentMsg();
    EXPECT_EQ(ident.GetKind(), static_cast<uint32_t>(VCI_KIND_WIRELESS));  // from the presence flags
    EXPECT_TRUE(ident.IsTokenZero());
    EXPECT_EQ(ident.GetModuleType(), 1u);
    ASSERT_EQ(ident.GetSessions().m_Sessions.size(), 2u);
    EXPECT_EQ(ident.GetSessions().m_Sessions[0].m_strAddress, "127.0.0.1");
    EXPECT_EQ(ident.GetSessions().m_Sessions[1].m_strAddress, "127.0.0.5");
    EXPECT_EQ(ident.GetSessions().m_Sessions[1].m_uiSession, 6u);
  }
  {
    SCOPED_TRACE("legacy, version 1");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.6", 0, 3000, d));
    CVCIStatusMsg msg;
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.m_uiVersion, 1u);
    EXPECT_EQ(msg.m_uiSerial, 4715u);
    EXPECT_EQ(msg.m_uiModuleState, 1u);  // not carried before version 2
    EXPECT_EQ(msg.ToIdentMsg().GetKind(), static_cast<uint32_t>(VCI_KIND_ETHERNET));
  }
  {
    SCOPED_TRACE("recovery");
    ASSERT_TRUE(listener.WaitFrom("127.0.0.7", 0, 3000, d));
    Fields f(d.content);
    EXPECT_EQ(2070u, f.U32());
    EXPECT_EQ(2u, f.U32());
    EXPECT_EQ(4716u, f.U32());
    f.U32();
    f.U32();
    f.U32();
    f.Str();
    EXPECT_EQ(2u, f.U32());
    uint32_t n = f.U32();
    std::string block = f.Hex(n);
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ("00", block.substr(block.size() - 2));  // NUL-terminated text
    EXPECT_TRUE(f.AtEnd());

    CRecoveryStatus msg;
    ASSERT_TRUE(wire::Load(msg, d.content));
    EXPECT_EQ(msg.m_uiVersion, 2u);
    EXPECT_EQ(msg.m_uiSerial, 4716u);
    EXPECT_EQ(msg.m_uiModuleState, 2u);
    EXPECT_EQ(msg.GetBlockText().find("vci-sim recovery"), 0u) << msg.GetBlockText();
    CVCIIdentMsg ident = msg.ToIdentMsg();
    EXPECT_EQ(ident.GetKind(), static_cast<uint32_t>(VCI_KIND_USB));  // whatever it was heard on
    EXPECT_EQ(ident.GetModuleState(), 2u);
  }
}

TEST(VciSim, CountRunsConsecutiveVcisThatEachAnnounceAndAnswer) {
  VCI_REQUIRE_NET_NAMESPACE();
  AnnouncementListener listener;
  ASSERT_EQ(0, listener.InitResult());
  SimProcess vcis({"--count", "5", "--serial", "100", "--interval", "200", "--app", "Shared=1.0"});
  ASSERT_TRUE(vcis.Ready());
  for (uint32_t i = 0; i < 5; ++i) {
    std::string address = "127.0.0." + std::to_string(2 + i);
    SCOPED_TRACE(address);
    Datagram d;
    ASSERT_TRUE(listener.WaitFrom(address, 0, 3000, d));
    Fields f(d.content);
    f.U32();
    f.U8();
    EXPECT_EQ(100 + i, f.U32());
    CAppServiceClient client;
    ASSERT_EQ(0, client.Initialize(address.c_str(), "127.0.0.1", 0, 0));
    CAppList apps;
    EXPECT_EQ(0, client.GetApplications(apps));
    EXPECT_EQ(1u, apps.GetCount());
  }
  EXPECT_EQ(0, vcis.Stop());
}

TEST(VciSim, RunTimeCommandsChangeWhatItAnnounces) {
  VCI_REQUIRE_NET_NAMESPACE();
  AnnouncementListener listener;
  ASSERT_EQ(0, listener.InitResult());
  SimProcess vci({"--address", "127.0.0.2", "--serial", "77", "--interval", "100"});
  ASSERT_TRUE(vci.Ready());
  Datagram d;
  ASSERT_TRUE(listener.WaitFrom("127.0.0.2", 0, 3000, d));

  ASSERT_EQ("ok", vci.Command("announce off"));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  size_t silentFrom = listener.Count();
  EXPECT_FALSE(listener.WaitFrom("127.0.0.2", silentFrom, 400, d));

  ASSERT_EQ("ok", vci.Command("token 1122334455667788 77"));
  ASSERT_EQ("ok", vci.Command("state 2"));
  ASSERT_EQ("ok", vci.Command("announce on"));
  ASSERT_TRUE(listener.WaitFrom("127.0.0.2", silentFrom, 3000, d));
  Fields f(d.content);
  f.U32();
  f.U8();
  f.U32();
  EXPECT_EQ("1122334455667788", f.Hex(8));
  f.U8();
  EXPECT_EQ(2u, f.U8());

  std::string status = vci.Command("status");
  EXPECT_NE(std::string::npos, status.find("\"serial\":77")) << status;
  EXPECT_NE(std::string::npos, status.find("\"module_state\":2")) << status;
  EXPECT_EQ(0u, vci.Command("state 2 78").find("error: no VCI")) << "unknown serial";
  EXPECT_EQ(0u, vci.Command("status 77").find("{\"serial\":77,"));
  EXPECT_EQ(0u, vci.Command("status 78").find("error: no VCI")) << "status of an unknown serial";
  EXPECT_EQ(0u, vci.Command("status 77 now").find("error: "));
  EXPECT_EQ(0u, vci.Command("fault melt on").find("error: unknown fault"));
  EXPECT_EQ(0u, vci.Command("jump").find("error: unknown command"));
  EXPECT_EQ(0u, vci.Command("delay soon").find("error: "));
  EXPECT_EQ(0, vci.Stop());
}

TEST(VciSim, IdentityFileGivesTheContentsAndBadInputIsAUsageError) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("vci.json"),
                     R"({"serial": 9001, "address": "127.0.0.7", "applications": [{"name": "FromFile", "version": "3.0"},
                         {"name": "Second", "version": "0.9"}], "format": "legacy"})");
  {
    // The command line overrides the file.
    SimProcess vci({"--identity", dir.File("vci.json"), "--format", "current", "--interval", "60000"});
    ASSERT_TRUE(vci.Ready());
    EXPECT_NE(std::string::npos, vci.Command("status").find("\"serial\":9001"));
    CAppServiceClient client;
    ASSERT_EQ(0, client.Initialize("127.0.0.7", "127.0.0.1", 0, 0));
    CAppList apps;
    ASSERT_EQ(0, client.GetApplications(apps));
    ASSERT_EQ(2u, apps.GetCount());
    EXPECT_EQ("FromFile", apps.GetAt(0)->m_AppVersion.GetName());
  }

  const std::string sim = std::string(VCI_BIN_DIR) + "/vci-sim";
  const std::string quiet = " >/dev/null 2>&1";
  EXPECT_EQ(0, testenv::Shell(sim + " --help" + quiet));
  EXPECT_EQ(2, testenv::Shell(sim + " --frobnicate" + quiet));
  EXPECT_EQ(2, testenv::Shell(sim + " --serial" + quiet));
  EXPECT_EQ(2, testenv::Shell(sim + " --count 0" + quiet));
  EXPECT_EQ(0, testenv::Shell("test \"$(" + sim + " --count 0 2>&1)\" = "
                              "'vci-sim: --count needs a number 1..65535 (see vci-sim --help)'"));
  EXPECT_EQ(2, testenv::Shell(sim + " --format legacy --msg-version 3" + quiet));
  EXPECT_EQ(2, testenv::Shell(sim + " --wireless 300" + quiet));
  EXPECT_EQ(2, testenv::Shell(sim + " --identity " + dir.File("missing.json") + quiet));
  testenv::WriteFile(dir.File("broken.json"), "{\"serial\": ");
  EXPECT_EQ(2, testenv::Shell(sim + " --identity " + dir.File("broken.json") + quiet));
  testenv::WriteFile(dir.File("typed.json"), "{\"serial\": \"many\"}");
  EXPECT_EQ(2, testenv::Shell(sim + " --identity " + dir.File("typed.json") + " 2>&1 | grep -q '\"serial\"' && exit 2"));
  // A misspelt key or a bad address is named instead of leaving a default in
  // place or blaming another option; a folder is no identity file.
  testenv::WriteFile(dir.File("misspelt.json"), "{\"serail\": 5}");
  EXPECT_EQ(2, testenv::Shell("timeout 10 " + sim + " --identity " + dir.File("misspelt.json") +
                              " 2>&1 | grep -q 'unknown key \"serail\"' && exit 2"));
  testenv::WriteFile(dir.File("address.json"), "{\"address\": \"1.2.3\"}");
  EXPECT_EQ(2, testenv::Shell(sim + " --identity " + dir.File("address.json") +
                              " 2>&1 | grep -q '\"address\" must be a dotted IPv4 address' && exit 2"));
  EXPECT_EQ(2, testenv::Shell(sim + " --identity " + dir.Path() + " 2>&1 | grep -q 'cannot read identity file' && exit 2"));

  // An address this machine does not have fails at once and says so,
  // instead of after the server socket's bind attempts.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, testenv::Shell("timeout 10 " + sim + " --address 192.0.2.1" + quiet));
  EXPECT_EQ(3, testenv::Shell("timeout 10 " + sim + " --address 192.0.2.1 2>&1 | "
                              "grep -q '192.0.2.1 is not an address of this machine' && exit 3"));
  EXPECT_EQ(1, testenv::Shell("timeout 10 " + sim + " --multicast-if 192.0.2.1" + quiet));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
