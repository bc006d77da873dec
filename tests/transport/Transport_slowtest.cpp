// The protocol's real waits: 5 s for the peer's close at the server, 10 s
// for a reply and for the close at the client, 30 s of silence at the server.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SocketTestUtil.h"
#include "transport/ClientSocket.h"
#include "transport/ServerSocket.h"

namespace {

using namespace sockettest;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

struct TcpServer {
  TcpServer() : socket(&recorder) {
    socket.SetLocalAddress("127.0.0.1");
    result = socket.Initialize(SOCKTYPE_TCP, 0, false);
  }
  ~TcpServer() { socket.Shutdown(); }
  CRecorder recorder;
  CServerSocket socket;
  int result;
};

TEST(CServerSocketSlow, PeerThatNeverClosesIsCutAfterFiveSecondsAndTheServerAcceptsAgain) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  int s = ConnectTo("127.0.0.1", server.socket.GetPort());
  ASSERT_TRUE(SendAll(s, Frame({2034, 1})));
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  bool closed = false;
  EXPECT_EQ(ReadFor(s, 8000, 0, &closed), Frame({2035, 1}) );
  EXPECT_TRUE(closed);
  ASSERT_TRUE(server.recorder.WaitForErrors(1, 2000));
  const long ms = MsSince(t0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(ms, 4900);
  EXPECT_LT(ms, 7000);
  EXPECT_EQ(server.recorder.Errors()[0], -2);
  EXPECT_NE(out.find("CServerSocket::Timeout waiting for remote shutdown: error code = "), std::string::npos) << out;
  close(s);
  EXPECT_EQ(Converse(server.socket.GetPort(), Frame({7})), Frame({8}));
}

TEST(CServerSocketSlow, SilentAndStalledPeersHoldTheServerForThirtySecondsEachAtMost) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  const uint16_t port = server.socket.GetPort();
  int silent = ConnectTo("127.0.0.1", port);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int stalled = ConnectTo("127.0.0.1", port);
  ASSERT_TRUE(SendAll(stalled, Frame({2034, 1, 2}).substr(0, 6)));  // the length and half an id word
  auto t0 = Clock::now();
  std::string reply;
  std::thread next([&] {
    int s = ConnectTo("127.0.0.1", port);
    SendAll(s, Frame({40, 41}));
    shutdown(s, SHUT_WR);
    reply = ReadFor(s, 70000);
    close(s);
  });

  ASSERT_TRUE(server.recorder.WaitForErrors(1, 35000));
  EXPECT_GE(MsSince(t0), 29000);
  bool closed = false;
  ReadFor(silent, 1000, 0, &closed);
  EXPECT_TRUE(closed) << "the silent peer's connection is dropped";
  ASSERT_TRUE(server.recorder.WaitForErrors(2, 35000));
  EXPECT_GE(MsSince(t0), 59000);
  next.join();
  EXPECT_EQ(reply, Frame({41, 41}));
  EXPECT_EQ(server.recorder.Errors(), (std::vector<int>{-2, -2}));
  EXPECT_EQ(server.recorder.Calls().size(), 1u);
  close(silent);
  close(stalled);
}

TEST(CServerSocketSlow, PeerThatStopsReadingALargeReplyReleasesTheServerAfterThirtySeconds) {
  // A reply far larger than what the socket buffers of both ends can hold.
  struct BigReply : CRecorder {
    int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remote,
                       const std::string& local) override {
      CRecorder::OnDataReceived(request, reply, remote, local);
      reply.WriteFill(0x5A, 32u * 1024u * 1024u);
      return 0;
    }
  } listener;
  listener.m_bWriteReply = false;
  CServerSocket server(&listener);
  server.SetLocalAddress("127.0.0.1");
  ASSERT_EQ(server.Initialize(SOCKTYPE_TCP, 0, false), 0);
  int s = ConnectTo("127.0.0.1", server.GetPort());
  ASSERT_TRUE(SendAll(s, Frame({2034})));
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  const bool released = listener.WaitForErrors(1, 40000);
  const long ms = MsSince(t0);
  // Should the send still be blocked, closing the peer frees it.
  close(s);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(released);
  EXPECT_GE(ms, 29000);
  EXPECT_EQ(listener.Errors()[0], -2);
  EXPECT_TRUE(out.find("Wrong number of bytes sent") != std::string::npos ||
              out.find("CServerSocket:send 1") != std::string::npos)
      << out;
  t0 = Clock::now();
  EXPECT_EQ(server.Shutdown(), 0);
  EXPECT_LT(MsSince(t0), 2000);
}

// A peer that reads the request, answers or not, and never closes first.
std::function<void(int, const std::atomic<bool>&)> Stubborn(bool answer) {
  return [answer](int s, const std::atomic<bool>& stop) {
    ReadFrame(s);
    if (answer) SendAll(s, Frame({2037}));
    HoldOpen(stop);
  };
}

TEST(CClientSocketSlow, SilentPeerEndsTheExchangeWith9251AfterTheTenSecondFloor) {
  RawPeer peer(Stubborn(false));
  CClientSocket client(false);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
  CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
  request.Write(uint32_t{2034});
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 1000), 9251);
  const long ms = MsSince(t0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(ms, 9900);
  EXPECT_LT(ms, 12000);
  EXPECT_NE(out.find("CliSkt::WaitForDataInd Timeout waiting for receive data: timeout = 10000"), std::string::npos)
      << out;
  // The failed exchange leaves the connection open; Shutdown closes it.
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_CONNECTED);
  client.Shutdown(CClientSocket::SHUTDOWN_ABORT);
}

TEST(CClientSocketSlow, PeerThatAnswersButNeverClosesGives9223AfterTenSeconds) {
  RawPeer peer(Stubborn(true));
  CClientSocket client(false);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
  CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
  request.Write(uint32_t{2034});
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 0), 9223);
  const long ms = MsSince(t0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(ms, 9900);
  EXPECT_LT(ms, 12000);
  EXPECT_NE(out.find("CliSkt::_Shutdown Timeout waiting for remote shutdown timeout = 10000"), std::string::npos)
      << out;
  EXPECT_EQ(reply.GetDataLength(), 4u) << "the reply itself arrived";
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_CLOSED);
}

}  // namespace
