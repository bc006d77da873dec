// The VCI service clients against simulated VCIs and a hand-driven peer, on
// loopback inside a private network namespace (the service ports are fixed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "serialize/ArchiveBuffer.h"
#include "service_clients/AppList.h"
#include "service_clients/AppServiceClient.h"
#include "service_clients/CompList.h"
#include "service_clients/PlatformServiceClient.h"
#include "service_clients/ServiceRequests.h"
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

// A peer on address:port that takes one connection, reads one request frame,
// answers with reply (raw frame bytes) and waits for the client's close.
class OneShotPeer {
 public:
  OneShotPeer(const char* address, uint16_t port, std::vector<uint8_t> reply) : m_Reply(std::move(reply)) {
    m_Listen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    m_bListening = bind(m_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_Listen, 4) == 0;
    m_Thread = std::thread([this] { Serve(); });
  }
  ~OneShotPeer() {
    shutdown(m_Listen, SHUT_RDWR);
    m_Thread.join();
    close(m_Listen);
  }
  bool Listening() const { return m_bListening; }
  // The request frame as it arrived (valid after the client's exchange).
  std::vector<uint8_t> request;

 private:
  void Serve() {
    int fd = accept(m_Listen, nullptr, nullptr);
    if (fd < 0) return;
    uint8_t buf[256];
    uint32_t want = 4;
    while (request.size() < want) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.insert(request.end(), buf, buf + n);
      if (request.size() >= 4) want = request[0] | (request[1] << 8) | (request[2] << 16) | (request[3] << 24);
    }
    send(fd, m_Reply.data(), m_Reply.size(), MSG_NOSIGNAL);
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    close(fd);
  }

  std::vector<uint8_t> m_Reply;
  int m_Listen;
  bool m_bListening = false;
  std::thread m_Thread;
};

std::vector<uint8_t> Frame(const std::vector<uint8_t>& content) {
  std::vector<uint8_t> f;
  uint32_t n = static_cast<uint32_t>(content.size() + 4);
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(n >> (8 * i)));
  f.insert(f.end(), content.begin(), content.end());
  return f;
}

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

}  // namespace

TEST(CPlatformServiceClient, ConnectNeedsBothAddressesAndOnlyOneSocketAtATime) {
  CPlatformServiceClient client;
  EXPECT_EQ(-1, client.Initialize(nullptr, "127.0.0.1", 0, 0));
  EXPECT_EQ(-1, client.Initialize("127.0.0.2", nullptr, 0, 0));
  EXPECT_EQ(-1, client.Disconnect());

  ASSERT_EQ(0, client.Initialize("127.0.0.2", "", 7, 9));
  EXPECT_EQ(-1, client.Connect(9000));
  EXPECT_FALSE(client.IsConnected());

  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  // No connection is made yet, so this works without any peer.
  EXPECT_EQ(0, client.Connect(9000));
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(-1, client.Connect(9004));
  EXPECT_EQ(9000u, client.GetPort());
  EXPECT_EQ(0, client.Disconnect());
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(-1, client.Disconnect());
}

TEST(CPlatformServiceClient, ExchangeWithoutSocketFailsAtOnce) {
  Recording<CPlatformServiceClient> client;
  CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::LOADING);
  CGetApplications_Send send;
  CAppList apps;
  EXPECT_EQ(-1, client.SendRecv_ArchiveBuffer(request, reply, send, apps, 0));
  EXPECT_EQ(-1, client.SendRecv_ArchiveBuffer(request, reply, static_cast<CSerialize*>(nullptr), apps, 0));
}

TEST(CPlatformServiceClient, ReplyWaitGrowsWithTheRequestAboveTheSocketsFloor) {
  // 3 ms per 500 bytes: small requests compute to less than the client
  // socket's 10 s minimum, which then applies.
  EXPECT_EQ(0u, CPlatformServiceClient::ComputeReplyTimeout(100));
  EXPECT_LT(CPlatformServiceClient::ComputeReplyTimeout(100), static_cast<uint32_t>(CClientSocket::MIN_REPLY_WAIT_MS));
  EXPECT_EQ(9999u, CPlatformServiceClient::ComputeReplyTimeout(1666666));
  EXPECT_EQ(30000u, CPlatformServiceClient::ComputeReplyTimeout(5000000));
  // No overflow for the largest lengths.
  EXPECT_EQ(25769803u, CPlatformServiceClient::ComputeReplyTimeout(0xFFFFFFFFu));
}

TEST(CAppServiceClient, QueriesReturnTheSimulatedContentsInClearAndEnciphered) {
  VCI_REQUIRE_NET_NAMESPACE();
  const std::vector<std::string> contents = {"--app",      "Diagnosis=4.2.1", "--app",      "Flash=1.0",
                                             "--app",      "Monitor=2.10",    "--app-comp", "CanDriver=3.3",
                                             "--app-comp", "KLine=1.2",       "--sys-comp", "Kernel=5.10.0",
                                             "--interval", "60000"};
  std::vector<std::string> clearArgs = {"--address", "127.0.0.2"}, cipherArgs = {"--address", "127.0.0.3",
                                                                                  "--encrypt-replies"};
  clearArgs.insert(clearArgs.end(), contents.begin(), contents.end());
  cipherArgs.insert(cipherArgs.end(), contents.begin(), contents.end());
  SimProcess clearVci(clearArgs), cipherVci(cipherArgs);
  ASSERT_TRUE(clearVci.Ready());
  ASSERT_TRUE(cipherVci.Ready());

  for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
    SCOPED_TRACE(address);
    Recording<CAppServiceClient> client;
    ASSERT_EQ(0, client.Initialize(address, "127.0.0.1", 0, 0));
    CAppList apps;
    ASSERT_EQ(0, client.GetApplications(apps));
    ASSERT_EQ(3u, apps.GetCount());
    EXPECT_EQ("Diagnosis", apps.GetAt(0)->m_AppVersion.GetName());
    EXPECT_EQ("4.2.1", apps.GetAt(0)->m_AppVersion.GetVersionText());
    EXPECT_EQ("Flash", apps.GetAt(1)->m_AppVersion.GetName());
    EXPECT_EQ("2.10", apps.GetAt(2)->m_AppVersion.GetVersionText());

    CCompList comps;
    ASSERT_EQ(0, client.GetAppComps(comps));
    ASSERT_EQ(2u, comps.GetCount());
    ASSERT_NE(nullptr, comps.Find("KLine"));
    EXPECT_EQ("1.2", comps.Find("KLine")->m_AppVersion.GetVersionText());
    ASSERT_EQ(0, client.GetSysComps(comps));
    ASSERT_EQ(1u, comps.GetCount());
    EXPECT_EQ("5.10.0", comps.Find("Kernel")->m_AppVersion.GetVersionText());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(client.lines.empty());
  }
}

TEST(CAppServiceClient, ReplyResultAndUndecipherableReplyBecomeTheQueryResult) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.2", "--reply-result", "5", "--app", "A=1", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  Recording<CAppServiceClient> client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CAppList apps;
  // Read without error, so the reply's own result is the answer.
  EXPECT_EQ(5, client.GetApplications(apps));
  EXPECT_EQ(1u, apps.GetCount());
  EXPECT_TRUE(client.lines.empty());

  ASSERT_EQ("ok", vci.Command("result 0"));
  ASSERT_EQ("ok", vci.Command("fault bad-cipher on"));
  EXPECT_EQ(-1, client.GetApplications(apps));
  ASSERT_EQ(1u, client.lines.size());
  EXPECT_EQ("PltClt::SendRecv_ArchiveBuffer Error Decrypting Object", client.lines[0]);
  EXPECT_FALSE(client.IsConnected());

  // A reply that is not the record asked for.
  ASSERT_EQ("ok", vci.Command("fault bad-cipher off"));
  ASSERT_EQ("ok", vci.Command("fault garbage on"));
  client.lines.clear();
  CCompList comps;
  EXPECT_EQ(-1, client.GetSysComps(comps));
  ASSERT_EQ(1u, client.lines.size());
  EXPECT_EQ("PltClt::SendRecv_ArchiveBuffer Error Serializing Object", client.lines[0]);
}

TEST(CAppServiceClient, BrokenConversationsEndWithTheClientSocketsCodes) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.2", "--fault", "close", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  Recording<CAppServiceClient> client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CAppList apps;
  EXPECT_EQ(CClientSocket::CS_ERR_RECV_LENGTH_SHUTDOWN, client.GetApplications(apps));
  ASSERT_EQ(1u, client.lines.size());
  EXPECT_EQ("PltClt::SendRecv_ArchiveBuffer 9255 - ObjId = 2094", client.lines[0]);

  ASSERT_EQ("ok", vci.Command("fault close off"));
  ASSERT_EQ("ok", vci.Command("fault truncate on"));
  EXPECT_EQ(CClientSocket::CS_ERR_RECV_CONTENT_SHUTDOWN, client.GetApplications(apps));

  // Refused: every connect attempt fails, and the query still disconnects.
  ASSERT_EQ("ok", vci.Command("fault truncate off"));
  ASSERT_EQ("ok", vci.Command("fault refuse on"));
  EXPECT_EQ(CClientSocket::CS_ERR_CONNECT_ATTEMPTS, client.GetApplications(apps));
  EXPECT_FALSE(client.IsConnected());

  ASSERT_EQ("ok", vci.Command("fault refuse off"));
  EXPECT_EQ(0, client.GetApplications(apps));
}

TEST(CAppServiceClient, LocalhostReachesTheLoopbackAddress) {
  VCI_REQUIRE_NET_NAMESPACE();
  SimProcess vci({"--address", "127.0.0.1", "--app", "OnLoopback=1.0", "--interval", "60000"});
  ASSERT_TRUE(vci.Ready());
  CAppServiceClient client;
  ASSERT_EQ(0, client.Initialize("localhost", "127.0.0.1", 0, 0));
  CAppList apps;
  EXPECT_EQ(0, client.GetApplications(apps));
  ASSERT_EQ(1u, apps.GetCount());
  EXPECT_EQ("OnLoopback", apps.GetAt(0)->m_AppVersion.GetName());
  EXPECT_EQ("127.0.0.1", client.GetRemoteAddress());
}

TEST(CAppServiceClient, QueryOfAVciThatIsNotListeningReturnsTheConnectFailure) {
  VCI_REQUIRE_NET_NAMESPACE();
  Recording<CAppServiceClient> client;
  ASSERT_EQ(0, client.Initialize("127.0.0.9", "127.0.0.1", 0, 0));
  CCompList comps;
  comps.Add(CCompList::CComp(CAppVersion("Stale", "1.0")));
  EXPECT_EQ(CClientSocket::CS_ERR_CONNECT_ATTEMPTS, client.GetAppComps(comps));
  EXPECT_EQ(0u, comps.GetCount());
  EXPECT_FALSE(client.IsConnected());
  ASSERT_EQ(1u, client.lines.size());
  EXPECT_EQ("PltClt::SendRecv_ArchiveBuffer 9237 - ObjId = 2156", client.lines[0]);
}

TEST(CAppServiceClient, SendsTheTwelveByteRequestAndReadsAHandWrittenReply) {
  VCI_REQUIRE_NET_NAMESPACE();
  // A CAppList of version 1 with result 0 and no entries.
  std::vector<uint8_t> content;
  PutU32(content, 2114);
  PutU32(content, 0);
  PutU32(content, 1);
  PutU32(content, 0);
  OneShotPeer peer("127.0.0.2", 9000, Frame(content));
  ASSERT_TRUE(peer.Listening());
  CAppServiceClient client;
  ASSERT_EQ(0, client.Initialize("127.0.0.2", "127.0.0.1", 0, 0));
  CAppList apps;
  EXPECT_EQ(0, client.GetApplications(apps));
  EXPECT_EQ(0u, apps.GetCount());
  EXPECT_EQ((std::vector<uint8_t>{0x0C, 0, 0, 0, 0x2E, 0x08, 0, 0, 1, 0, 0, 0}), peer.request);
}
