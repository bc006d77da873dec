// The client socket against raw peers and against the server socket: the
// exchange and every way it breaks, connect attempts, the stop from another
// thread, and what both sockets write to the transport log.
#include "transport/ClientSocket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <thread>

#include "common/SocketPeers.h"
#include "common/TestEnv.h"
#include "host/TransportLogger.h"
#include "serialize/ObjectId.h"
#include "transport/ServerSocket.h"

namespace {

using namespace sockettest;

void StoreRequest(CArchiveBuffer& request, std::vector<uint32_t> words) {
  for (uint32_t w : words) request.Write(w);
}

// Records the error codes the client socket reports, after running onError.
struct Listener : IClientSocketEvent {
  bool OnErrorDetected(int code) override {
    if (onError) onError();
    codes.push_back(code);
    return false;
  }
  std::function<void()> onError;
  std::vector<int> codes;
};

struct Client {
  explicit Client(uint16_t port, bool keep = false, CClientSocket::Timeouts timeouts = {}) : socket(keep) {
    socket.SetTimeouts(timeouts);
    result = socket.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", port, false);
  }
  int Exchange(std::vector<uint32_t> words, CArchiveBuffer& reply, uint32_t timeoutMs = 0) {
    CArchiveBuffer request(CArchiveBuffer::STORING);
    StoreRequest(request, words);
    return socket.SendRecv_ArchiveBuffer(request, reply, timeoutMs);
  }
  CClientSocket socket;
  int result;
};

// Each peer reads the request, sends its bytes, closes its sending side or
// not, and holds the connection until the client closes it or is done. Where the case
// waits out one of the client's waits, only that one is shortened. A stalled
// reply is sent as soon as the peer accepts, and the exchange on the kept
// connection begins only then: its first bytes are there before the wait
// for them, whatever the machine's speed. A dripping peer sends its bytes,
// then zeros, one every 5 ms, far slower than the rate the case allows, and
// closes after the guard: a client that waited it out sees the close.
TEST(CClientSocket, AReplyOfTwelveBytesIsReadAndEveryBrokenReplyEndsWithItsOwnCodeAndReport) {
  struct Case {
    std::string reply;
    bool close, early;
    int expected;
    const char *what, *report;
    uint32_t replyFloorMs = 0, shutdownWaitMs = 0;
    int requestTimeoutMs = 0;
    bool drip = false, noReplyTimeout = false;
  };
  auto word = [](uint32_t w) { return Frame({w}).substr(4); };  // the word alone, as a length
  const std::string shutdownReport = "CliSkt::SendRecv_ArchiveBuffer Unexpected Socket Shutdown";
  // A close that no failing call reports carries the graceful-close number,
  // never the one the connect (10036) or an empty receive (10035) left.
  const std::string graceful = shutdownReport + ": error code = 10101, error string = Graceful shutdown in progress";
  const Case cases[] = {
      {Frame({2037, 0x01020304u}), true, false, 0, "a reply of twelve bytes", ""},
      {Frame({}), true, false, 9258, "a frame of length 4", graceful.c_str()},
      {"", true, false, 9255, "a close before the length", graceful.c_str()},
      {std::string("\x0c\x00", 2), true, false, 9255, "a close inside the length", shutdownReport.c_str()},
      {Frame({1, 2}).substr(0, 8), true, false, 9258, "a close inside the content", shutdownReport.c_str()},
      {word(MAX_FRAME_LENGTH + 1), true, false, 9256, "a length beyond the largest frame",
       "AllocateData Error uiMsgSize = "},
      {word(3), true, false, 9256, "a length below the slot", "AllocateData Error uiMsgSize = 3"},
      {"", false, false, 9251, "no reply within the floor", "Timeout waiting for receive data: timeout = 100", 100, 0,
       20},
      {"", false, false, 9251, "no reply within the caller's time", "receive data: timeout = 150", 100, 0, 150},
      {std::string("\x0c\x00", 2), false, true, 9251, "a reply stalled inside its length",
       "receive data: timeout = 100: error code = 10060", 100},
      {Frame({1, 2}).substr(0, 6), false, true, 9251, "a reply stalled inside its content",
       "receive data: timeout = 100: error code = 10060", 100},
      // 100 ms, then the 4 MiB announced at 4 MiB/s.
      {word(MAX_FRAME_LENGTH), true, false, 9251, "a reply dripped", "receive data: timeout = 1100", 100, 0, 0, true},
      {word(MAX_FRAME_LENGTH), true, false, 9251, "a reply dripped without a reply timeout",
       "receive data: timeout = 1100", 100, 0, 0, true, true},
      {Frame({2037}), false, false, 9223, "a reply without the peer's close",
       "CliSkt::_Shutdown Timeout waiting for remote shutdown timeout = 100", 0, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Latch sent, done;
    std::string seen;
    const auto t0 = Clock::now();
    std::atomic<bool> peerSawClose{false};
    RawPeer peer([&](int s, const std::atomic<bool>& stop) {
      if (!c.early) seen = ReadFrame(s);
      for (size_t i = 0; c.drip && !stop && MsSince(t0) < kGuardMs; ++i) {
        const char b = i < c.reply.size() ? c.reply[i] : 0;
        if (send(s, &b, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (!c.drip) SendAll(s, c.reply);
      if (c.close) shutdown(s, SHUT_WR);
      sent.Set();
      peerSawClose = HoldOpen(s, stop);
      done.Set();
      HoldOpen(s, stop, false);  // never closes first
    });
    CClientSocket::Timeouts timeouts;
    if (c.replyFloorMs != 0) timeouts.uiReplyFloorMs = c.replyFloorMs;
    if (c.shutdownWaitMs != 0) timeouts.uiShutdownWaitMs = c.shutdownWaitMs;
    if (c.drip) timeouts.uiMinRateBytesPerSec = MAX_FRAME_LENGTH;
    Client client(peer.Port(), c.early, timeouts);
    ASSERT_EQ(client.result, 0);
    client.socket.SetNoReplyTimeout(c.noReplyTimeout);
    ASSERT_TRUE(!c.early || sent.Wait());
    CArchiveBuffer reply(CArchiveBuffer::STORING);
    testing::internal::CaptureStdout();
    EXPECT_EQ(client.Exchange({2034, 55}, reply, c.requestTimeoutMs), c.expected);
    const long ms = MsSince(t0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(c.report), std::string::npos) << out;
    if (c.expected == 0) {
      EXPECT_EQ(seen, Frame({2034, 55}));
      EXPECT_EQ(reply.GetDataLength(), 8u);
      uint32_t id = 0, field = 0;
      EXPECT_TRUE(reply.Read(id) && reply.Read(field) && id == 2037u && field == 0x01020304u) << "rewound for reading";
      EXPECT_EQ(client.socket.GetState(), CClientSocket::STATE_CLOSED);
      EXPECT_EQ(client.socket.GetSocket(), INVALID_SOCKET);
      EXPECT_TRUE(done.Wait() && peerSawClose) << "the client closed in order";
    }
    EXPECT_TRUE(c.expected != 9256 || reply.GetCapacity() == 8192u) << "nothing allocated";
    EXPECT_TRUE(c.expected != 9251 || ms >= std::max(c.requestTimeoutMs, 100)) << ms;
    EXPECT_EQ(client.socket.Shutdown(CClientSocket::SHUTDOWN_ABORT), 0);
    EXPECT_EQ(client.socket.GetState(), CClientSocket::STATE_UNINITIALIZED);
  }
}

TEST(CClientSocket, RefusedConnectionsEndAfterNineteenCallsWith9237AndTheReport) {
  CClientSocket::Timeouts timeouts;
  timeouts.uiConnectPauseMs = 20;
  Client client(UnusedPort(), false, timeouts);
  ASSERT_EQ(client.result, 0);
  testing::internal::CaptureStdout();
  auto t0 = Clock::now();
  EXPECT_EQ(client.socket.Connect(), 9237);
  const long ms = MsSince(t0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(client.socket.GetConnectCalls(), 19u);
  EXPECT_GE(ms, 9 * 20) << "the last nine calls each pause first";
  EXPECT_NE(out.find("CliSkt::Connect Max connect Attempts Exceeded: error code = 10061, error string = Connection refused"),
            out.npos) << out;
  EXPECT_EQ(client.socket.GetState(), CClientSocket::STATE_CREATED);
  EXPECT_EQ(client.socket.Shutdown(0), 0);
}

TEST(CClientSocket, ArgumentAndStateErrorsNeedNoNetwork) {
  CClientSocket client(false);
  const CClientSocket::Timeouts t = client.GetTimeouts();
  EXPECT_EQ(std::vector<uint32_t>({t.uiConnectPauseMs, t.uiConnectWaitMs, t.uiReplyFloorMs, t.uiWriteableWaitMs,
                                   t.uiShutdownWaitMs, t.uiMinRateBytesPerSec}),
            std::vector<uint32_t>({250, 15000, 10000, 10000, 10000, 65536}))
      << "the designed waits, and a frame at 64 KiB/s";
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
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("CltSkt::CreateSocket Socket Bind Failed to Address 10.255.255.254: error code = 10049"), out.npos)
      << out;
  EXPECT_EQ(tcp.GetRemoteAddress(), "") << "a failed Initialize forgets the texts";
}

// A wait without limit (the no-reply-timeout option) and a send to a peer
// that never reads both end when Shutdown comes from another thread.
TEST(CClientSocket, ShutdownFromAnotherThreadEndsAnExchangeWaitingForAReplyOrForRoomToSend) {
  for (bool send : {false, true}) {
    SCOPED_TRACE(send ? "a send to a peer that never reads" : "a wait without limit");
    Listener listener;
    Latch requestRead;
    RawPeer peer([&](int s, const std::atomic<bool>& stop) {
      if (!send) ReadFrame(s);
      requestRead.Set();
      HoldOpen(s, stop, !send);
    });
    CClientSocket client(send);
    client.SetNoReplyTimeout(1);
    // The send's wait for room lasts far beyond the guard, so that an abort
    // that waited it out is told from one that cut it.
    CClientSocket::Timeouts timeouts;
    timeouts.uiWriteableWaitMs = 4 * kGuardMs;
    client.SetTimeouts(timeouts);
    ASSERT_EQ(client.Initialize(&listener, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
    std::atomic<int> result{-100};
    std::thread exchange([&] {
      if (send) {
        std::vector<uint8_t> big(32u * 1024u * 1024u, 0x5A);
        result = client.SendOnly_Bytes(big.data(), static_cast<uint32_t>(big.size()));
      } else {
        CArchiveBuffer request(CArchiveBuffer::STORING), reply(CArchiveBuffer::STORING);
        StoreRequest(request, {2100});
        result = client.SendRecv_ArchiveBuffer(request, reply, 0);
      }
    });
    ASSERT_TRUE(requestRead.Wait());
    if (send) {
      // The socket is full: the send is waiting (or about to) for room.
      struct pollfd pfd = {-1, POLLOUT, 0};
      for (auto t0 = Clock::now(); MsSince(t0) < kGuardMs;) {
        pfd.fd = client.GetSocket();
        if (pfd.fd >= 0 && poll(&pfd, 1, 0) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    testing::internal::CaptureStdout();
    auto t0 = Clock::now();
    client.Shutdown(CClientSocket::SHUTDOWN_ABORT);
    exchange.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(MsSince(t0), kGuardMs);
    EXPECT_EQ(result, send ? 9260 : 9251);
    EXPECT_EQ(listener.codes, send ? std::vector<int>{-2} : std::vector<int>{});
    EXPECT_EQ(out.find("CliSkt::SendOnly_Bytes Timeout Waiting for Socket to become writeable") != std::string::npos,
              send);
    EXPECT_EQ(client.GetState(), CClientSocket::STATE_UNINITIALIZED);
  }
}

// An abort from another thread that overlaps the owner's orderly close: both
// announce themselves while a send still holds the socket (its listener call
// waits for that), and whichever gets the socket first, the orderly close to
// a peer that never closes ends at once instead of waiting out its minute.
TEST(CClientSocket, AnAbortOverlappingTheOrderlyCloseEndsItWhicheverGetsTheSocketFirst) {
  RawPeer peer([](int s, const std::atomic<bool>& stop) { HoldOpen(s, stop, false); });
  CClientSocket client(true);
  std::thread orderly, abort;
  std::atomic<int> orderlyResult{-100}, abortResult{-100};
  Listener listener;
  listener.onError = [&] {
    orderly = std::thread([&] { orderlyResult = client.Shutdown(0); });
    abort = std::thread([&] { abortResult = client.Shutdown(CClientSocket::SHUTDOWN_ABORT); });
    for (auto t0 = Clock::now(); client.GetAbortsPending() < 2 && MsSince(t0) < kGuardMs;) std::this_thread::yield();
  };
  CClientSocket::Timeouts timeouts;
  timeouts.uiWriteableWaitMs = 1;
  timeouts.uiShutdownWaitMs = kGuardMs;
  client.SetTimeouts(timeouts);
  ASSERT_EQ(client.Initialize(&listener, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", peer.Port(), false), 0);
  std::vector<uint8_t> big(32u * 1024u * 1024u, 0x5A);
  testing::internal::CaptureStdout();
  EXPECT_EQ(client.SendOnly_Bytes(big.data(), static_cast<uint32_t>(big.size())), 9260);
  orderly.join();
  abort.join();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Timeout waiting for remote shutdown"), std::string::npos) << out;
  EXPECT_EQ(abortResult, 0);
  EXPECT_TRUE(orderlyResult == 0 || orderlyResult == 9223) << orderlyResult;
  EXPECT_EQ(client.GetAbortsPending(), 0u);
  EXPECT_EQ(client.GetState(), CClientSocket::STATE_UNINITIALIZED);
}

// A kept connection, connected at once, carries several exchanges; its close
// is the server's one error -1 before the bad frame's.
TEST(SocketTransportLog, FramesOfAKeptConnectionAndServerErrorsAreLoggedWithIdsNamesAndTimeStamps) {
  testenv::ScratchDir dir;
  setenv("VCI_IDENT_TRANSPORT_LOG_DIR", (dir.Path() + "/").c_str(), 1);
  CTransportLogger::CloseTransportLog();
  {
    Server<> server;
    ASSERT_EQ(server.Start(SOCKTYPE_TCP, true), 0);
    Client client(server.Port(), true);
    ASSERT_EQ(client.result, 0);
    EXPECT_EQ(client.socket.GetState(), CClientSocket::STATE_CONNECTED);
    for (uint32_t i = 0; i < 3; ++i) {
      CArchiveBuffer reply(CArchiveBuffer::STORING);
      ASSERT_EQ(client.Exchange({2034, i}, reply), 0);
      uint32_t id = 0, field = 99;
      EXPECT_TRUE(reply.Read(id) && reply.Read(field) && id == 2035 && field == i) << i;
      EXPECT_EQ(client.socket.GetState(), CClientSocket::STATE_CONNECTED);
    }
    EXPECT_EQ(client.socket.Shutdown(0), 0);
    ASSERT_TRUE(server.recorder.WaitForErrors(1));
    EXPECT_EQ(server.recorder.Accepts(), 1);
    std::string bad;
    PutWord(bad, 2);
    testing::internal::CaptureStdout();
    int s = ConnectTo("127.0.0.1", server.Port());
    SendAll(s, bad);
    ASSERT_TRUE(server.recorder.WaitForErrors(2));
    EXPECT_EQ(server.recorder.Errors(), (std::vector<int>{-1, -2}));
    close(s);
    testing::internal::GetCapturedStdout();
  }
  const std::string path = CTransportLogger::TransportLogPath();
  CTransportLogger::CloseTransportLog();
  unsetenv("VCI_IDENT_TRANSPORT_LOG_DIR");
  const std::string log = testenv::ReadFile(path);
  auto has = [&](const std::string& line) {
    return std::regex_search(log, std::regex("(^|\n)[0-9]+\\.[0-9]{7} " + line + "\n"));
  };
  const std::string request = std::string("ID = 2034 \\[") + GetObjectName(2034) + "\\]",
                    reply = std::string("ID = 2035 \\[") + GetObjectName(2035) + "\\]";
  for (const std::string& line : {"CS::Sending " + request, "SS::Receive " + request, "SS::Sending " + reply,
                                  "CS::Receive " + reply,
                                  std::string("SS: [0-9]+\\.[0-9]+ - Recv Error: error code = 10040, "
                                              "error string = Message too long\n?")})
    EXPECT_TRUE(has(line)) << line << "\n" << log;
}

}  // namespace
