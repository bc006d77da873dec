#include "transport/ClientSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SocketTestUtil.h"
#include "common/TestEnv.h"
#include "transport/ServerSocket.h"

namespace {

using namespace sockettest;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

void StoreRequest(CArchiveBuffer& request, std::vector<uint32_t> words) {
  for (uint32_t w : words) request.Write(w);
}

TEST(CClientSocket, TwelveByteReplyFillsEightContentBytesAndTheSocketClosesInOrder) {
  std::string seen;
  std::atomic<bool> peerSawClose{false};
  {
    RawPeer peer([&](int s, const std::atomic<bool>&) {
      seen = ReadFrame(s);
      SendAll(s, Frame({2037, 0x01020304u}));
      bool closed = false;
      ReadFor(s, 5000, 0, &closed);
      peerSawClose = closed;
    });
    CClientSocket client(false);
    ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
    EXPECT_EQ(client.GetState(), CClientSocket::STATE_CREATED);
    CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
    StoreRequest(request, {2034, 55});
    ASSERT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 0), 0);
    EXPECT_EQ(seen, Frame({2034, 55}));
    EXPECT_EQ(reply.GetDataLength(), 8u);
    EXPECT_FALSE(reply.IsStoring());
    uint32_t id = 0, field = 0;
    EXPECT_TRUE(reply.Read(id) && reply.Read(field));
    EXPECT_EQ(id, 2037u);
    EXPECT_EQ(field, 0x01020304u);
    EXPECT_EQ(client.GetState(), CClientSocket::STATE_CLOSED);
    EXPECT_EQ(client.GetSocket(), INVALID_SOCKET);
    EXPECT_EQ(client.Shutdown(0), 0);
    EXPECT_EQ(client.GetState(), CClientSocket::STATE_UNINITIALIZED);
  }
  EXPECT_TRUE(peerSawClose);
}

TEST(CClientSocket, BrokenRepliesEndWithTheirOwnCodes) {
  struct Case {
    std::string reply;
    int expected;
    const char* what;
    // A close that no failing call reports carries the graceful-close
    // number, never the one the connect (10036) or an empty receive (10035)
    // left behind.
    bool graceful = false;
  };
  std::string huge;
  PutWord(huge, MAX_FRAME_LENGTH + 1);
  std::string tiny;
  PutWord(tiny, 3);
  const Case cases[] = {
      {Frame({}), 9258, "a frame of length 4", true},
      {"", 9255, "a close before the length", true},
      {std::string("\x0c\x00", 2), 9255, "a close inside the length"},
      {Frame({1, 2}).substr(0, 8), 9258, "a close inside the content"},
      {huge, 9256, "a length beyond the largest frame"},
      {tiny, 9256, "a length below the slot"},
  };
  for (const Case& c : cases) {
    RawPeer peer([&](int s, const std::atomic<bool>&) {
      ReadFrame(s);
      SendAll(s, c.reply);
      shutdown(s, SHUT_WR);
      ReadFor(s, 2000);
    });
    CClientSocket client(false);
    ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
    CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
    StoreRequest(request, {2034});
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 0), c.expected) << c.what;
    std::string out = testing::internal::GetCapturedStdout();
    if (c.expected == 9256) {
      EXPECT_EQ(reply.GetCapacity(), 8192u) << "nothing allocated for " << c.what;
      EXPECT_NE(out.find("CliSkt::SendRecv_ArchiveBuffer AllocateData Error uiMsgSize = "), std::string::npos);
    } else {
      EXPECT_NE(out.find("CliSkt::SendRecv_ArchiveBuffer Unexpected Socket Shutdown"), std::string::npos) << out;
    }
    if (c.graceful) {
      EXPECT_NE(out.find("CliSkt::SendRecv_ArchiveBuffer Unexpected Socket Shutdown: error code = 10101, "
                         "error string = Graceful shutdown in progress"),
                std::string::npos)
          << c.what << ": " << out;
    }
    EXPECT_EQ(client.Shutdown(CClientSocket::SHUTDOWN_ABORT), 0);
  }
}

TEST(CClientSocket, RefusedConnectionsEndAfterNineteenCallsWith9237AndTheReport) {
  CClientSocket client(false);
  const uint16_t port = UnusedPort();
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", port, false), 0);
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(client.Connect(), 9237);
  const long ms = MsSince(t0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(client.GetConnectCalls(), 19u);
  // The last nine calls each sleep 250 ms before their wait.
  EXPECT_GE(ms, 9 * 250 - 50);
  EXPECT_LT(ms, 6000);
  EXPECT_NE(out.find("CliSkt::Connect Max connect Attempts Exceeded: error code = 10061, error string = Connection refused"),
            std::string::npos)
      << out;
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_CREATED);
  EXPECT_EQ(client.Shutdown(0), 0);
}

TEST(CClientSocket, KeptConnectionConnectsAtOnceAndCarriesSeveralExchanges) {
  CRecorder recorder;
  CServerSocket server(&recorder);
  server.SetLocalAddress("127.0.0.1");
  ASSERT_EQ(server.Initialize(SOCKTYPE_TCP, 0, true), 0);
  CClientSocket client(true);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", server.GetPort(), false), 0);
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_CONNECTED);
  for (uint32_t i = 0; i < 3; ++i) {
    CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
    StoreRequest(request, {10, i});
    ASSERT_EQ(client.SendRecv_ArchiveBuffer(request, reply, 0), 0);
    uint32_t id = 0, field = 99;
    reply.Read(id);
    reply.Read(field);
    EXPECT_EQ(id, 11u);
    EXPECT_EQ(field, i);
    EXPECT_EQ(client.GetState(), CClientSocket::STATE_CONNECTED);
  }
  EXPECT_EQ(recorder.Accepts(), 1);
  EXPECT_EQ(client.Shutdown(0), 0);
  ASSERT_TRUE(recorder.WaitForErrors(1, 3000));
  EXPECT_EQ(recorder.Errors()[0], -1);
  server.Shutdown();
}

TEST(CClientSocket, ArgumentAndStateErrorsNeedNoNetwork) {
  CClientSocket client(false);
  CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
  StoreRequest(request, {1});
  EXPECT_EQ(client.SendOnly_ArchiveBuffer(request), 9248);
  EXPECT_EQ(client.Connect(), 9235);
  EXPECT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "", "127.0.0.1", 1, false), 9217);
  EXPECT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "", 1, false), 9217);
  EXPECT_EQ(client.Initialize(nullptr, SOCKTYPE_UDP_RAW, "127.0.0.1", "127.0.0.1", 1, false), 9217);
  EXPECT_EQ(client.GetRemoteAddress(), "");

  CClientSocket broadcast(false);
  ASSERT_EQ(broadcast.Initialize(nullptr, SOCKTYPE_UDP_BROADCAST, "127.255.255.255", "127.0.0.1", 9, false), 0);
  EXPECT_EQ(broadcast.Connect(), 9234);
  EXPECT_EQ(broadcast.SendOnly_Bytes(nullptr, 4), 9259);
  EXPECT_EQ(broadcast.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", 1, false), 9217)
      << "not from the created state";
  EXPECT_EQ(broadcast.CreateSocket(SOCKTYPE_TCP), -1);
  EXPECT_EQ(broadcast.Shutdown(0), 0);

  CClientSocket tcp(false);
  CArchiveBuffer empty(CArchiveBuffer::STORING);
  EXPECT_EQ(tcp.SendRecv_ArchiveBuffer(empty, reply, 0), 9249);

  testing::internal::CaptureStdout();
  EXPECT_EQ(tcp.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "10.255.255.254", 1, false), 9231);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("CltSkt::CreateSocket Socket Bind Failed to Address 10.255.255.254: error code = 10049"),
            std::string::npos)
      << out;
  EXPECT_EQ(tcp.GetRemoteAddress(), "") << "a failed Initialize forgets the texts";
}

TEST(CClientSocket, ShutdownFromAnotherThreadEndsAWaitWithoutLimit) {
  RawPeer peer([&](int s, const std::atomic<bool>& stop) {
    ReadFrame(s);
    HoldOpen(stop);
  });
  CClientSocket client(false);
  client.SetNoReplyTimeout(1);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
  std::atomic<int> result{-100};
  std::thread exchange([&] {
    CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
    StoreRequest(request, {2100});
    result = client.SendRecv_ArchiveBuffer(request, reply, 1000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(result, -100) << "still waiting for the acknowledgement";
  auto t0 = Clock::now();
  client.Shutdown(CClientSocket::SHUTDOWN_ABORT);
  exchange.join();
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_EQ(result, 9251);
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_UNINITIALIZED);
}

// A peer that stops in the middle of the reply, or stops reading a large
// request, must meet the socket's waits: the exchange ends with its code and
// Shutdown from another thread is not held up by a blocked receive or send.
// Should either ever block, the peer lets go after 3 s so that the test fails
// instead of hanging.
TEST(CClientSocket, StalledPeerNeverBlocksAReceiveOrASend) {
  struct Case {
    std::string partial;
    int expected;
    const char* what;
  };
  const Case cases[] = {
      {std::string("\x0c\x00", 2), 9254, "a reply stalled inside its length"},
      {Frame({1, 2}).substr(0, 6), 9257, "a reply stalled inside its content"},
  };
  for (const Case& c : cases) {
    std::atomic<bool> release{false};
    RawPeer peer([&](int s, const std::atomic<bool>& stop) {
      ReadFrame(s);
      SendAll(s, c.partial);
      for (int i = 0; i < 300 && !stop && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    CClientSocket client(false);
    ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
    std::atomic<int> result{-100};
    std::thread exchange([&] {
      CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
      StoreRequest(request, {2034});
      result = client.SendRecv_ArchiveBuffer(request, reply, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    testing::internal::CaptureStdout();
    auto t0 = Clock::now();
    client.Shutdown(CClientSocket::SHUTDOWN_ABORT);
    const long ms = MsSince(t0);
    release = true;
    exchange.join();
    testing::internal::GetCapturedStdout();
    EXPECT_LT(ms, 2000) << c.what;
    EXPECT_EQ(result, c.expected) << c.what;
  }

  struct Listener : IClientSocketEvent {
    bool OnErrorDetected(int code) override {
      codes.push_back(code);
      return false;
    }
    std::vector<int> codes;
  } listener;
  std::atomic<bool> release{false};
  RawPeer reader([&](int, const std::atomic<bool>& stop) {
    for (int i = 0; i < 300 && !stop && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  CClientSocket client(true);
  ASSERT_EQ(client.Initialize(&listener, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", reader.Port(), false), 0);
  std::atomic<int> result{-100};
  std::thread sender([&] {
    std::vector<uint8_t> big(8u * 1024u * 1024u, 0x5A);
    result = client.SendOnly_Bytes(big.data(), static_cast<uint32_t>(big.size()));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  client.Shutdown(CClientSocket::SHUTDOWN_ABORT);
  const long ms = MsSince(t0);
  release = true;
  sender.join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LT(ms, 2000) << "a peer that never reads";
  EXPECT_EQ(result, 9260);
  EXPECT_EQ(listener.codes, std::vector<int>{-2});
  EXPECT_NE(out.find("CliSkt::SendOnly_Bytes Timeout Waiting for Socket to become writeable"), std::string::npos)
      << out;
}

TEST(CClientSocketMulticast, SendsToTheGroupFromTheInterfaceWithTtlFive) {
  VCI_REQUIRE_NET_NAMESPACE();
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(receiver, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(8194);
  inet_pton(AF_INET, "225.1.1.1", &a.sin_addr);
  ASSERT_EQ(bind(receiver, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  struct ip_mreq m {};
  inet_pton(AF_INET, "225.1.1.1", &m.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
  ASSERT_EQ(setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);

  CClientSocket client(false);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_UDP_MULTICAST, "127.0.0.1", "127.0.0.1", 8194, false), 0);
  CArchiveBuffer frame(CArchiveBuffer::STORING);
  StoreRequest(frame, {2157, 8});
  ASSERT_EQ(client.SendOnly_ArchiveBuffer(frame), 0);

  char buffer[64];
  char control[64];
  struct sockaddr_in from {};
  struct iovec iov = {buffer, sizeof buffer};
  struct msghdr msg {};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  struct pollfd pfd = {receiver, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 2000), 1);
  ASSERT_EQ(recvmsg(receiver, &msg, 0), 12);
  EXPECT_EQ(std::string(buffer, 12), Frame({2157, 8}));
  int ttl = -1;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
  EXPECT_EQ(ttl, 5);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  close(receiver);
  client.Shutdown(0);
}

}  // namespace
