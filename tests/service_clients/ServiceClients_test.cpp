// The VCI service clients against simulated VCIs and a silent hand-driven
// peer, on loopback inside a private network namespace (the service ports
// are fixed).
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/SocketPeers.h"
#include "common/TestEnv.h"
#include "records/AppList.h"
#include "records/CompList.h"
#include "records/Config.h"
#include "serialize/ArchiveBuffer.h"
#include "service_clients/ServiceRequests.h"
#include "service_clients/VCIServiceClient.h"
#include "tools/SimProcess.h"
#include "transport/ClientSocket.h"

using testenv::SimProcess;

namespace {

// Keeps the error lines that the client writes.
template <class Client>
class Recording : public Client {
 public:
  std::vector<std::string> lines;

 protected:
  void WriteErrorLog(const char* line) override { lines.push_back(line); }
};

// A VCI service on address:port that reads one request and never answers;
// it holds the connection until the client closes it or, when it never
// closes, until the object ends, without reading again.
class SilentPeer {
 public:
  SilentPeer(const char* address, uint16_t port, bool closes = true)
      : m_Listen(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;  // the port of an earlier test's VCI may linger
    setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = sockettest::Address(address, port);
    EXPECT_EQ(0, bind(m_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a));
    listen(m_Listen, 4);
    m_Thread = std::thread([this, closes] {
      int s = accept(m_Listen, nullptr, nullptr);
      m_Request.set_value(s < 0 ? std::string() : sockettest::ReadFrame(s));
      if (s < 0) return;
      sockettest::HoldOpen(s, m_bStop, closes);
      close(s);
    });
  }
  ~SilentPeer() {
    m_bStop = true;
    shutdown(m_Listen, SHUT_RDWR);
    m_Thread.join();
    close(m_Listen);
  }
  // The request frame, once it has arrived.
  std::string Request() {
    std::future<std::string> request = m_Request.get_future();
    return request.wait_for(std::chrono::seconds(5)) == std::future_status::ready ? request.get() : "";
  }

 private:
  int m_Listen;
  std::atomic<bool> m_bStop{false};
  std::promise<std::string> m_Request;
  std::thread m_Thread;
};

enum Query { APPS, APP_COMPS, SYS_COMPS, CONFIG };

struct Answers {
  CAppList apps;
  CCompList appComps, sysComps;
  CConfig config;
};

int Ask(CVCIServiceClient& client, Query query, Answers& a) {
  return query == APPS        ? client.GetApplications(a.apps)
         : query == APP_COMPS ? client.GetAppComps(a.appComps)
         : query == SYS_COMPS ? client.GetSysComps(a.sysComps)
                              : client.GetConfig(16, a.config);
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace

TEST(CPlatformServiceClient, ConnectNeedsBothAddressesAndMakesOneSocketAtATime) {
  CVCIServiceClient pair;
  EXPECT_EQ(-1, pair.Initialize(nullptr, "127.0.0.1", 0, 0));
  Recording<CPlatformServiceClient> client;
  EXPECT_EQ(-1, client.Initialize("127.0.0.2", nullptr, 0, 0));
  CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::LOADING);
  CGetApplications_Send send;
  CAppList apps;
  EXPECT_EQ(-1, client.SendRecv_ArchiveBuffer(request, reply, send, apps, 0));
  EXPECT_EQ(-1, client.SendRecv_ArchiveBuffer(request, reply, static_cast<CSerialize*>(nullptr), apps, 0));
  EXPECT_EQ(-1, client.Disconnect());

  ASSERT_EQ(0, client.Initialize("127.0.0.2", "", 7, 9));
  EXPECT_EQ(-1, client.Connect(9000));
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  // No connection is made yet, so this works without any peer.
  EXPECT_EQ(0, client.Connect(9000));
  EXPECT_EQ(-1, client.Connect(9004));
  EXPECT_EQ(0, client.Disconnect());
  EXPECT_EQ(-1, client.Disconnect());
  EXPECT_TRUE(client.lines.empty());
}

TEST(CPlatformServiceClient, ReplyWaitIsThreeMillisecondsPer500RequestBytesWithoutOverflow) {
  const uint32_t table[][2] = {{100, 0}, {1666666, 9999}, {5000000, 30000}, {0xFFFFFFFFu, 25769803}};
  for (const auto& row : table) EXPECT_EQ(row[1], CPlatformServiceClient::ComputeReplyTimeout(row[0])) << row[0];
}

TEST(CVCIServiceClient, FourQueriesReturnTheVcisContentsInClearAndEnciphered) {
  VCI_REQUIRE_NET_NAMESPACE();
  const std::vector<std::string> contents = {
      "--app",         "Diagnosis=4.2.1", "--app",      "Flash=1.0", "--app-comp",        "CanDriver=3.3",
      "--sys-comp",    "Kernel=5.10.0",   "--sys-comp", "Boot=1.1",  "--product-version", "5.1.2",
      "--product-date", "20260105",       "--module-type", "7",      "--interval",        "60000"};
  SimProcess clearVci(With({"--address", "127.0.0.1"}, contents));
  SimProcess cipherVci(With({"--address", "127.0.0.3", "--encrypt-replies"}, contents));
  ASSERT_TRUE(clearVci.Ready() && cipherVci.Ready());
  CAppList apps;
  CCompList appComps, sysComps;
  using V = CAppVersion;
  for (const V& v : {V("Diagnosis", "4.2.1"), V("Flash", "1.0")}) apps.Add(CAppList::CApp(v));
  appComps.Add(CCompList::CComp(V("CanDriver", "3.3")));
  for (const V& v : {V("Kernel", "5.10.0"), V("Boot", "1.1")}) sysComps.Add(CCompList::CComp(v));
  CArgList product;
  for (const auto& kv : {std::make_pair("ProductVersion", "5.1.2"), std::make_pair("ProductDate", "20260105"),
                         std::make_pair("ModuleType", "7")})
    product.SetValue(kv.first, kv.second);

  // One set of answers for both VCIs: every query clears its answer first.
  Answers a;
  // "localhost" stands for the loopback address.
  const char* addresses[][2] = {{"localhost", "127.0.0.1"}, {"127.0.0.3", "127.0.0.3"}};
  for (const auto& address : addresses) {
    SCOPED_TRACE(address[0]);
    Recording<CVCIServiceClient> client;
    ASSERT_EQ(0, client.Initialize(address[0], "127.0.0.1", 0, 0));
    ASSERT_EQ(0, client.SetTransportLogging(true));
    for (Query query : {APPS, APP_COMPS, SYS_COMPS, CONFIG}) ASSERT_EQ(0, Ask(client, query, a)) << query;
    CArgList section;
    ASSERT_EQ(0, a.config.GetConfig(16, section));
    EXPECT_TRUE(apps == a.apps && appComps == a.appComps && sysComps == a.sysComps && product == section);
    // A section the VCI does not have: an empty answer.
    EXPECT_EQ(0, client.GetConfig(17, a.config));
    EXPECT_TRUE(a.config.IsEmpty());
    EXPECT_EQ(address[1], client.GetAppServiceClient().GetRemoteAddress());
    EXPECT_TRUE(client.lines.empty());
  }
}

TEST(CVCIServiceClient, EveryFailureBecomesTheQueryResultAfterADisconnect) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.2", "--app", "A=1", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  const std::string ex = "PltClt::SendRecv_ArchiveBuffer ";
  const struct {
    const char *on, *off;
    Query query;
    int result;
    std::string line;  // the one error line, or none
  } table[] = {
      // A reply read without error: its own result is the answer.
      {"result 5", "result 0", APPS, 5, ""},
      {"result 7", "result 0", CONFIG, 7, ""},
      {"fault close on", "fault close off", APPS, 9255, ex + "9255 - ObjId = 2094"},
      {"fault truncate on", "fault truncate off", APP_COMPS, 9258, ex + "9258 - ObjId = 2156"},
      // Every connect attempt refused: the connect failure code.
      {"fault refuse on", "fault refuse off", SYS_COMPS, 9237, ex + "9237 - ObjId = 2189"},
      {"fault bad-cipher on", "fault bad-cipher off", APPS, -1, ex + "Error Decrypting Object"},
      // A reply that is not the record asked for.
      {"fault garbage on", "fault garbage off", SYS_COMPS, -1, ex + "Error Serializing Object"},
      {"fault duplicate-key on", "fault duplicate-key off", CONFIG, -1, ex + "Error Serializing Object"},
  };
  Recording<CVCIServiceClient> client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  // A refused connect is tried ten times; the pauses between the tries
  // only cost time here.
  CClientSocket::Timeouts quick;
  quick.uiConnectPauseMs = 1;
  ASSERT_EQ(0, client.SetSocketTimeouts(quick));
  for (const auto& row : table) {
    SCOPED_TRACE(row.on);
    ASSERT_EQ("ok", vci.Command(row.on));
    client.lines.clear();
    Answers a;
    EXPECT_EQ(row.result, Ask(client, row.query, a));
    EXPECT_EQ(row.line.empty() ? std::vector<std::string>() : std::vector<std::string>{row.line}, client.lines);
    EXPECT_FALSE(client.GetAppServiceClient().IsConnected() || client.GetCfgServiceClient().IsConnected());
    ASSERT_EQ("ok", vci.Command(row.off));
  }
}

TEST(CVCIServiceClient, AbortAndDestructionEndAQueryInProgressAtOnce) {
  VCI_REQUIRE_NET_NAMESPACE();
  SilentPeer appVci("127.0.0.2", 9000), cfgVci("127.0.0.2", 9004);
  auto* client = new Recording<CVCIServiceClient>;
  ASSERT_EQ(0, client->Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  // Reply waits far beyond the guard tell a cut query from a timed-out one.
  CClientSocket::Timeouts timeouts;
  timeouts.uiReplyFloorMs = timeouts.uiShutdownWaitMs = 4 * sockettest::kGuardMs;
  ASSERT_EQ(0, client->SetSocketTimeouts(timeouts));
  Answers a;
  std::atomic<int> appResult{0}, cfgResult{0};
  std::thread appQuery([&] { appResult = Ask(*client, APPS, a); });
  std::thread cfgQuery([&] { cfgResult = Ask(*client, CONFIG, a); });
  // The requests as the VCI gets them, in clear.
  EXPECT_EQ(sockettest::Frame({2094, 1}), appVci.Request());
  EXPECT_EQ(sockettest::Frame({2021, 1, 16}), cfgVci.Request());

  auto start = sockettest::Clock::now();
  EXPECT_EQ(0, client->GetAppServiceClient().Abort());
  appQuery.join();
  // At once, without connecting: the service would take the connection
  // and never answer.
  EXPECT_EQ(-1, Ask(*client, SYS_COMPS, a));
  EXPECT_LT(sockettest::MsSince(start), sockettest::kGuardMs);
  EXPECT_EQ(-1, appResult);
  EXPECT_TRUE(client->lines.empty());

  start = sockettest::Clock::now();
  delete client;
  EXPECT_LT(sockettest::MsSince(start), sockettest::kGuardMs);
  cfgQuery.join();
  EXPECT_EQ(-1, cfgResult);
}

// The socket waits given to the client bound the reply wait (raised from the
// 0 ms that a small request computes to) and the orderly close after the
// failed exchange, for both services of a VCI that neither answers nor
// closes.
TEST(CVCIServiceClient, SocketTimeoutsBoundTheReplyWaitAndTheCloseOfEveryQuery) {
  VCI_REQUIRE_NET_NAMESPACE();
  SilentPeer appVci("127.0.0.2", 9000, false), cfgVci("127.0.0.2", 9004, false);
  Recording<CVCIServiceClient> client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CClientSocket::Timeouts timeouts;
  timeouts.uiReplyFloorMs = 100;
  timeouts.uiShutdownWaitMs = 150;
  EXPECT_EQ(0, client.SetSocketTimeouts(timeouts));
  for (Query query : {APPS, CONFIG}) {
    Answers a;
    client.lines.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(CClientSocket::CS_ERR_WAIT_TIMEOUT, Ask(client, query, a)) << query;
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* report : {"CliSkt::WaitForDataInd Timeout waiting for receive data: timeout = 100",
                               "CliSkt::_Shutdown Timeout waiting for remote shutdown timeout = 150"})
      EXPECT_NE(out.find(report), std::string::npos) << out;
    EXPECT_EQ(1u, client.lines.size()) << query;
  }
  EXPECT_FALSE(client.GetAppServiceClient().IsConnected() || client.GetCfgServiceClient().IsConnected());
}
