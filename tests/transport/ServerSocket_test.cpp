#include "transport/ServerSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <thread>

#include "SocketTestUtil.h"
#include "common/TestEnv.h"
#include "host/TraceCapture.h"

namespace {

using namespace sockettest;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A TCP server socket on 127.0.0.1 with an automatic port.
struct TcpServer {
  explicit TcpServer(bool keep = false, bool reply = true) : socket(&recorder, reply) {
    socket.SetLocalAddress("127.0.0.1");
    result = socket.Initialize(SOCKTYPE_TCP, 0, keep);
  }
  ~TcpServer() { socket.Shutdown(); }
  CRecorder recorder;
  CServerSocket socket;
  int result;
};

TEST(CServerSocket, AnswersOneRequestPerConnectionAndReturnsToListeningAfterThePeersClose) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  for (int i = 0; i < 100 && server.socket.GetState() != CServerSocket::STATE_ACCEPTING; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.socket.GetState(), CServerSocket::STATE_ACCEPTING);
  for (uint32_t i = 0; i < 3; ++i) {
    bool closed = false;
    std::string reply = Converse(server.socket.GetPort(), Frame({2034, 7 + i}), &closed);
    EXPECT_EQ(reply, Frame({2035, 7 + i}));
    EXPECT_TRUE(closed) << "the server closes once it has seen the peer's close";
  }
  auto calls = server.recorder.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(GetWord(calls[0].content, 0), 2034u);
  EXPECT_EQ(calls[0].content.size(), 8u);
  EXPECT_EQ(calls[0].remote, "127.0.0.1");
  EXPECT_EQ(calls[0].local, "127.0.0.1");
  EXPECT_EQ(server.recorder.Accepts(), 3);
  EXPECT_TRUE(server.recorder.Errors().empty());
}

TEST(CServerSocket, ListenerThatWritesNothingGivesAFrameOfLengthFourAndNoReplyFlagSendsNothing) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  server.recorder.m_bWriteReply = false;
  EXPECT_EQ(Converse(server.socket.GetPort(), Frame({2034})), Frame({}));

  TcpServer silent(false, false);
  ASSERT_EQ(silent.result, 0);
  bool closed = false;
  EXPECT_EQ(Converse(silent.socket.GetPort(), Frame({2034}), &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(silent.recorder.Calls().size(), 1u);
}

TEST(CServerSocket, KeptConnectionCarriesTwoFramesAndTheirReplies) {
  TcpServer server(true);
  ASSERT_EQ(server.result, 0);
  int s = ConnectTo("127.0.0.1", server.socket.GetPort());
  ASSERT_GE(s, 0);
  // The two frames arrive in one piece; the server must still cut them apart.
  ASSERT_TRUE(SendAll(s, Frame({100, 1}) + Frame({200, 2, 3})));
  std::string replies = ReadFor(s, 3000, 8 + 16);
  EXPECT_EQ(replies, Frame({101, 1}) + Frame({201, 2, 3}));
  close(s);
  ASSERT_TRUE(server.recorder.WaitForErrors(1, 3000));
  EXPECT_EQ(server.recorder.Errors()[0], -1) << "the peer's close between frames";
}

TEST(CServerSocket, PeerThatClosesBeforeSendingIsReportedAndTheNextClientServed) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  int s = ConnectTo("127.0.0.1", server.socket.GetPort());
  ASSERT_GE(s, 0);
  close(s);
  ASSERT_TRUE(server.recorder.WaitForErrors(1, 3000));
  EXPECT_EQ(server.recorder.Errors(), std::vector<int>{-1});
  EXPECT_EQ(Converse(server.socket.GetPort(), Frame({5, 6})), Frame({6, 6}));
}

TEST(CServerSocket, DataInsteadOfThePeersCloseEndsTheConversationAsAnError) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  int s = ConnectTo("127.0.0.1", server.socket.GetPort());
  ASSERT_GE(s, 0);
  ASSERT_TRUE(SendAll(s, Frame({2034, 1})));
  EXPECT_EQ(ReadFrame(s), Frame({2035, 1}));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(SendAll(s, "more"));
  bool closed = false;
  ReadFor(s, 3000, 0, &closed);
  EXPECT_TRUE(closed) << "the server closes after the unexpected data";
  ASSERT_TRUE(server.recorder.WaitForErrors(1, 3000));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(server.recorder.Errors(), std::vector<int>{-2});
  EXPECT_NE(out.find("WaitForRemoteShutdown:Recv: error code = "), std::string::npos) << out;
  close(s);
  EXPECT_EQ(Converse(server.socket.GetPort(), Frame({5, 6})), Frame({6, 6}));
  EXPECT_EQ(server.recorder.Calls().size(), 2u) << "the extra bytes are no request";
}

TEST(CServerSocket, BadFrameLengthsAreReceiveErrorsThatDropTheConnectionOnly) {
  tracetest::TraceCapture trace("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  const uint16_t port = server.socket.GetPort();
  // Far beyond the largest frame, just beyond it, and below the length slot.
  const uint32_t lengths[] = {0xFFFFFFF0u, MAX_FRAME_LENGTH + 1, 3, 0};
  size_t expectedErrors = 0;
  for (uint32_t length : lengths) {
    std::string bad;
    PutWord(bad, length);
    PutWord(bad, 2034);
    int s = ConnectTo("127.0.0.1", port);
    ASSERT_GE(s, 0);
    SendAll(s, bad);
    bool closed = false;
    EXPECT_EQ(ReadFor(s, 3000, 0, &closed), "");
    EXPECT_TRUE(closed) << "length " << length;
    close(s);
    ++expectedErrors;
    ASSERT_TRUE(server.recorder.WaitForErrors(expectedErrors, 3000));
    EXPECT_EQ(server.recorder.Errors().back(), -2);
  }
  EXPECT_TRUE(server.recorder.Calls().empty());
  // Each is the receive-error outcome of the content step, not a failed
  // receive. The line follows the listener's error call, so the last one may
  // still be on its way.
  size_t receiveErrors = 0;
  for (int wait = 0; wait < 300 && receiveErrors < 4; ++wait) {
    if (wait > 0) usleep(10000);
    receiveErrors = 0;
    for (const std::string& m : trace.Messages())
      if (m == "RecvFromRemote_6::bTerminate = 0") ++receiveErrors;
  }
  EXPECT_EQ(receiveErrors, 4u);
  for (const std::string& m : trace.Messages()) EXPECT_EQ(m.find("RecvFromRemote::bTerminate_4"), std::string::npos) << m;
  // The largest accepted frame still goes through.
  std::string big;
  PutWord(big, MAX_FRAME_LENGTH);
  PutWord(big, 77);
  big.resize(MAX_FRAME_LENGTH, '\0');
  std::string reply = Converse(port, big);
  ASSERT_GE(reply.size(), 8u);
  EXPECT_EQ(GetWord(reply, 4), 78u);
  ASSERT_EQ(server.recorder.Calls().size(), 1u);
  EXPECT_EQ(server.recorder.Calls()[0].content.size(), MAX_FRAME_LENGTH - 4u);
}

TEST(CServerSocket, ListenerFailuresAndExceptionsKeepTheServerRunning) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  const uint16_t port = server.socket.GetPort();
  server.recorder.m_bThrowOnce = true;
  // No reply to the request whose listener threw; the connection stays open
  // until the peer gives up.
  int s = ConnectTo("127.0.0.1", port);
  SendAll(s, Frame({1}));
  ASSERT_TRUE(server.recorder.WaitForCalls(1, 3000));
  EXPECT_EQ(ReadFor(s, 300), "");
  close(s);
  ASSERT_TRUE(server.recorder.WaitForErrors(1, 3000));

  // A non-zero listener result is an error of the conversation (-2).
  server.recorder.m_iResult = -1;
  s = ConnectTo("127.0.0.1", port);
  SendAll(s, Frame({2}));
  ASSERT_TRUE(server.recorder.WaitForErrors(2, 3000));
  EXPECT_EQ(server.recorder.Errors()[1], -2);
  close(s);
  ASSERT_TRUE(server.recorder.WaitForErrors(3, 3000));

  server.recorder.m_iResult = 0;
  EXPECT_EQ(Converse(port, Frame({3, 4})), Frame({4, 4}));
}

TEST(CServerSocket, SecondInitializeAndUnknownTypesAreRefusedWithoutChange) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  const uint16_t port = server.socket.GetPort();
  EXPECT_EQ(server.socket.Initialize(SOCKTYPE_TCP, 0, false), 8705);
  EXPECT_EQ(server.socket.GetPort(), port);
  EXPECT_EQ(Converse(port, Frame({1})), Frame({2}));

  CRecorder recorder;
  CServerSocket other(&recorder);
  EXPECT_EQ(other.Initialize(0, 0, false), 8705);
  EXPECT_EQ(other.Initialize(5, 0, false), 8705);
  EXPECT_EQ(other.GetState(), CServerSocket::STATE_IDLE);
  EXPECT_EQ(other.Shutdown(), 0);
}

TEST(CServerSocket, AFixedPortInUseFailsWith8710AndReportsTheAddress) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  CRecorder recorder;
  CServerSocket clash(&recorder);
  clash.SetLocalAddress("127.0.0.1");
  testing::internal::CaptureStdout();
  EXPECT_EQ(clash.Initialize(SOCKTYPE_TCP, server.socket.GetPort(), false), 8710);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Addr = 127.0.0.1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("port = " + std::to_string(server.socket.GetPort()) + "\n"), std::string::npos);
  EXPECT_NE(out.find("Could not bind to socket m_socket = "), std::string::npos);
  EXPECT_NE(out.find("error code = 10048, error string = Address already in use."), std::string::npos);
  EXPECT_EQ(clash.GetState(), CServerSocket::STATE_IDLE);
  EXPECT_EQ(clash.GetSocket(), INVALID_SOCKET);
}

TEST(CServerSocket, ShutdownEndsEveryBlockedStateAtOnceAndNeverCallsTheListenerAgain) {
  // Idle, never initialised.
  {
    CRecorder recorder;
    CServerSocket idle(&recorder);
    EXPECT_EQ(idle.Shutdown(), 0);
  }
  // Blocked in accept.
  {
    TcpServer server;
    ASSERT_EQ(server.result, 0);
    auto t0 = Clock::now();
    EXPECT_EQ(server.socket.Shutdown(), 0);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(server.socket.GetState(), CServerSocket::STATE_IDLE);
    EXPECT_TRUE(server.recorder.Errors().empty());
    EXPECT_EQ(server.socket.Shutdown(), 0) << "a second shutdown is harmless";
  }
  // Connected, blocked in the middle of a frame.
  {
    TcpServer server;
    ASSERT_EQ(server.result, 0);
    int s = ConnectTo("127.0.0.1", server.socket.GetPort());
    SendAll(s, std::string("\x10\x00", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(server.socket.GetState(), CServerSocket::STATE_CONNECTED);
    auto t0 = Clock::now();
    EXPECT_EQ(server.socket.Shutdown(), 0);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(server.socket.GetState(), CServerSocket::STATE_TERMINATING);
    bool closed = false;
    ReadFor(s, 1000, 0, &closed);
    EXPECT_TRUE(closed);
    close(s);
    EXPECT_TRUE(server.recorder.Errors().empty());
  }
  // UDP, blocked in the datagram receive.
  {
    CRecorder recorder;
    CServerSocket udp(&recorder);
    udp.SetLocalAddress("127.0.0.1");
    ASSERT_EQ(udp.Initialize(SOCKTYPE_UDP_BROADCAST, 0, false), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    EXPECT_EQ(udp.Shutdown(), 0);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(recorder.Errors().empty());
  }
}

TEST(CServerSocket, DatagramOfTwelveBytesReachesTheListenerBehindItsLengthSlot) {
  CRecorder recorder;
  CServerSocket udp(&recorder);
  udp.SetLocalAddress("127.0.0.1");
  ASSERT_EQ(udp.Initialize(SOCKTYPE_UDP_BROADCAST, 0, false), 0);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(udp.GetPort());
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const std::string datagram = Frame({2157, 0xA5A5A5A5u});
  ASSERT_EQ(sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to), 12);
  // An empty datagram and a 2-byte one do not end the receive thread.
  sendto(s, "", 0, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  sendto(s, "ab", 2, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  ASSERT_EQ(sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to), 12);
  ASSERT_TRUE(recorder.WaitForCalls(3, 3000));
  auto calls = recorder.Calls();
  EXPECT_EQ(calls[0].content, datagram.substr(4));
  EXPECT_EQ(calls[0].remote, "127.0.0.1");
  EXPECT_EQ(calls[0].local, "127.0.0.1");
  EXPECT_EQ(calls[1].content, "");
  EXPECT_EQ(calls[2].content, datagram.substr(4));
  close(s);
  udp.Shutdown();
  EXPECT_TRUE(recorder.Errors().empty());
}

TEST(CServerSocket, AThousandConversationsLeakNoDescriptorAndNoThread) {
  TcpServer server;
  ASSERT_EQ(server.result, 0);
  const int fds = CountEntries("/proc/self/fd");
  const int threads = CountEntries("/proc/self/task");
  for (uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(Converse(server.socket.GetPort(), Frame({2034, i})), Frame({2035, i})) << "conversation " << i;
  }
  EXPECT_EQ(SettledCount("/proc/self/fd", fds), fds);
  EXPECT_EQ(SettledCount("/proc/self/task", threads), threads);
  EXPECT_TRUE(server.recorder.Errors().empty());
}

// Fixed ports: these run in a private network namespace.

TEST(CServerSocketPorts, AutomaticPortsAreConsecutiveAndWrapAfterTheHighest) {
  VCI_REQUIRE_NET_NAMESPACE();
  CRecorder recorder;
  CServerSocket first(&recorder);
  ASSERT_EQ(first.GetHighestAutomaticPort(), 9099);  // 9005 + 100, at most 9099
  ASSERT_EQ(first.Initialize(SOCKTYPE_UDP_BROADCAST, 0, false), 0);
  uint16_t previous = first.GetPort();
  EXPECT_GE(previous, 9006);
  first.Shutdown();
  bool wrapped = false;
  for (int i = 0; i < 100 && !wrapped; ++i) {
    CServerSocket next(&recorder);
    ASSERT_EQ(next.Initialize(SOCKTYPE_UDP_BROADCAST, 0, false), 0);
    const uint16_t port = next.GetPort();
    if (previous == 9099) {
      EXPECT_EQ(port, 9006);
      wrapped = true;
    } else {
      EXPECT_EQ(port, previous + 1);
    }
    previous = port;
    next.Shutdown();
  }
  EXPECT_TRUE(wrapped);
  // A taken automatic port is skipped for the next one.
  CServerSocket holder(&recorder);
  ASSERT_EQ(holder.Initialize(SOCKTYPE_TCP, 0, false), 0);  // takes 9007
  const uint16_t held = holder.GetPort();
  holder.Shutdown();
  CServerSocket blocker(&recorder), skipper(&recorder);
  ASSERT_EQ(blocker.Initialize(SOCKTYPE_TCP, static_cast<uint16_t>(held + 1), false), 0);
  ASSERT_EQ(skipper.Initialize(SOCKTYPE_TCP, 0, false), 0);
  EXPECT_EQ(skipper.GetPort(), held + 2);
  skipper.Shutdown();
  blocker.Shutdown();
}

TEST(CServerSocketPorts, AddressReuseOnlyForThePortsOfTheVciServices) {
  VCI_REQUIRE_NET_NAMESPACE();
  struct Case {
    uint16_t port;
    bool reuse;
  } cases[] = {{8080, true}, {9000, true}, {9003, true}, {9005, true}, {8098, false}, {9006, false}, {8999, false}};
  for (const Case& c : cases) {
    CRecorder recorder;
    CServerSocket server(&recorder);
    ASSERT_EQ(server.Initialize(SOCKTYPE_TCP, c.port, false), 0) << c.port;
    int value = -1;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(server.GetSocket(), SOL_SOCKET, SO_REUSEADDR, &value, &length), 0);
    EXPECT_EQ(value != 0, c.reuse) << c.port;
    server.Shutdown();
  }
}

}  // namespace
