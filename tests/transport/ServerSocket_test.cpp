// The server socket over loopback: every way a conversation ends, the stop
// from every state, datagrams, ports, and multicast per interface; the
// control server's conversations side by side.
#include "transport/ServerSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>

#include "common/SocketPeers.h"
#include "common/TestEnv.h"
#include "host/TraceCapture.h"
#include "transport/ClientSocket.h"
#include "transport/ControlServer.h"

namespace {

using namespace sockettest;

// Answers a request with id 2034 with far more than the socket buffers of
// both ends hold.
struct CBigReplies : CRecorder {
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remote,
                     const std::string& local) override {
    int result = CRecorder::OnDataReceived(request, reply, remote, local);
    if (request.ContentWord(0) == 2034) reply.WriteFill(0x5A, 32u * 1024u * 1024u);
    return result;
  }
};

// Each call of the listener as "remote>local content".
std::vector<std::string> Seen(CRecorder& recorder) {
  std::vector<std::string> seen;
  for (const CRecorder::Call& c : recorder.Calls()) seen.push_back(c.remote + ">" + c.local + " " + c.content);
  return seen;
}

bool Traced(const std::string& line) {
  const std::vector<std::string> lines = tracetest::TraceCapture::Messages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// What arrives on s until the server closes the connection or the guard
// time ends, with "|closed" or "|open" behind it; s is closed.
std::string UntilClosed(int s) {
  bool closed = false;
  const std::string got = ReadFor(s, kGuardMs, 0, &closed);
  close(s);
  return got + (closed ? "|closed" : "|open");
}

std::string LengthThenId(uint32_t length) {
  std::string bytes;
  PutWord(bytes, length);
  PutWord(bytes, 2034);
  return bytes;
}

// Keeps a TCP server busy: one conversation whose reply has been read and
// whose close the server now waits for. Clients that connect meanwhile have
// all their bytes queued before the server takes them on, whatever the
// machine's speed; closing the returned socket lets the server go on.
int HoldServer(uint16_t port) {
  int s = ConnectTo("127.0.0.1", port);
  SendAll(s, Frame({1}));
  EXPECT_EQ(ReadFrame(s), Frame({2}));
  return s;
}

// The peer sends its bytes (and closes its sending side) and reads until the
// server closes; then a second client, connected meanwhile, must be served,
// which also shows that everything of the first conversation (errors, trace
// lines) has happened. Where the server's silent-peer time is short, both
// clients have their bytes queued before the server takes them on.
TEST(CServerSocket, EveryEndOfAConversationIsReportedAndTheNextClientIsServed) {
  tracetest::TraceCapture trace("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  enum { KEEP = 1, NO_REPLY_FLAG = 2, WRITES_NOTHING = 4, THROWS_ONCE = 8, FAILS_ONCE = 16 };
  enum { SHORT_SILENCE = 32, SHORT_CLOSE_WAIT = 64, SHORT_REQUEST_WAIT = 128 };
  struct Case {
    const char* what;
    int knobs;
    std::string send;
    bool closeSending;
    std::string reply;
    std::vector<int> errors;
    size_t calls;
    const char *trace, *report;
  };
  // The trace and report lines of the cases that end in a receive error.
  const char *stalled = "RecvFromRemote::bTerminate_4 = 0", *timedOut = "Recv Error: error code = 10060";
  const char *badLength = "RecvFromRemote_6::bTerminate = 0", *tooLong = "Recv Error: error code = 10040";
  std::string largest = LengthThenId(MAX_FRAME_LENGTH);
  largest.resize(MAX_FRAME_LENGTH, '\0');
  const size_t fds = testenv::OpenDescriptors().size();
  const Case cases[] = {
      {"one request", 0, Frame({2034, 7}), true, Frame({2035, 7}), {}, 1, "", ""},
      {"a listener that writes nothing", WRITES_NOTHING, Frame({2034}), true, Frame({}), {}, 1, "", ""},
      {"no reply flag", NO_REPLY_FLAG, Frame({2034}), true, "", {}, 1, "", ""},
      {"two frames in one piece on a kept connection", KEEP, Frame({100, 1}) + Frame({200, 2, 3}), true,
       Frame({101, 1}) + Frame({201, 2, 3}), {-1}, 2, "", ""},
      {"a close before any byte", 0, "", true, "", {-1}, 0, "", ""},
      {"data instead of the close", 0, Frame({2034, 1}) + "more", true, Frame({2035, 1}), {-2}, 1,
       "RecvFromRemote_7::bTerminate = 0", "WaitForRemoteShutdown:Recv: error code = "},
      {"a peer that never closes", SHORT_CLOSE_WAIT, Frame({2034, 1}), false, Frame({2035, 1}), {-2}, 1,
       "RecvFromRemote_7::bTerminate = 0", "CServerSocket::Timeout waiting for remote shutdown: error code = "},
      {"a silent peer", SHORT_SILENCE, "", false, "", {-2}, 0, "RecvFromRemote::bTerminate = 0", timedOut},
      {"a peer stalled inside the content", SHORT_SILENCE, Frame({2034, 1, 2}).substr(0, 6), false, "", {-2}, 0,
       stalled, timedOut},
      {"a request still incomplete at its deadline", SHORT_REQUEST_WAIT, Frame({2034, 1, 2}).substr(0, 6), false, "",
       {-2}, 0, stalled, timedOut},
      {"a length far beyond the largest frame", 0, LengthThenId(0xFFFFFFF0u), false, "", {-2}, 0, badLength, tooLong},
      {"a length just beyond the largest frame", 0, LengthThenId(MAX_FRAME_LENGTH + 1), false, "", {-2}, 0, badLength,
       tooLong},
      {"a length below the length slot", 0, LengthThenId(3), false, "", {-2}, 0, badLength, tooLong},
      {"a length of 0", 0, LengthThenId(0), false, "", {-2}, 0, badLength, tooLong},
      {"the largest frame", WRITES_NOTHING, largest, true, Frame({}), {}, 1, "", ""},
      // The connection stays open after the throw; the reply to the next
      // frame on it is the first thing the peer reads.
      {"a listener that throws", THROWS_ONCE, Frame({1}) + Frame({5, 6}), true, Frame({6, 6}), {}, 2, "",
       "Exception Caught in CServerSocket::RunTCP"},
      {"a listener that fails", FAILS_ONCE, Frame({2}), true, "", {-2, -1}, 1, "RecvFromRemote_7::bTerminate = 0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tracetest::TraceCapture::Clear();
    Server<> server(!(c.knobs & NO_REPLY_FLAG));
    CServerSocket::Timeouts timeouts;
    if (c.knobs & SHORT_SILENCE) timeouts.uiSilentPeerMs = 100;
    if (c.knobs & SHORT_CLOSE_WAIT) timeouts.uiRemoteShutdownWaitMs = 100;
    if (c.knobs & SHORT_REQUEST_WAIT) timeouts.uiRequestWaitMs = 100;
    server.socket.SetTimeouts(timeouts);
    server.recorder.m_bWriteReply = !(c.knobs & WRITES_NOTHING);
    server.recorder.m_bThrowOnce = c.knobs & THROWS_ONCE;
    server.recorder.m_iResultOnce = (c.knobs & FAILS_ONCE) ? -1 : 0;
    ASSERT_EQ(server.Start(SOCKTYPE_TCP, c.knobs & KEEP), 0);
    testing::internal::CaptureStdout();
    const int holder = (c.knobs & (SHORT_SILENCE | SHORT_REQUEST_WAIT)) ? HoldServer(server.Port()) : -1;
    int s = ConnectTo("127.0.0.1", server.Port());
    ASSERT_TRUE(SendAll(s, c.send));
    if (c.closeSending) shutdown(s, SHUT_WR);
    int next = ConnectTo("127.0.0.1", server.Port());
    SendAll(next, Frame({7}));
    shutdown(next, SHUT_WR);
    if (holder >= 0) close(holder);
    EXPECT_EQ(UntilClosed(s), c.reply + "|closed");
    const std::string nextReply =
        (c.knobs & NO_REPLY_FLAG) ? "" : (c.knobs & WRITES_NOTHING) ? Frame({}) : Frame({8});
    EXPECT_EQ(ReadFor(next, kGuardMs), nextReply);
    close(next);
    const std::string out = testing::internal::GetCapturedStdout();
    const int held = holder >= 0 ? 1 : 0;

    // A kept connection reports the second client's close as well.
    std::vector<int> errors = server.recorder.Errors();
    EXPECT_LE(errors.size(), c.errors.size() + ((c.knobs & KEEP) ? 1 : 0));
    errors.resize(std::min(errors.size(), c.errors.size()));
    EXPECT_EQ(errors, c.errors);
    std::vector<std::string> ends;
    for (const CRecorder::Call& call : server.recorder.Calls()) ends.push_back(call.remote + ">" + call.local);
    EXPECT_EQ(ends, std::vector<std::string>(c.calls + 1 + held, "127.0.0.1>127.0.0.1"));
    EXPECT_EQ(server.recorder.Accepts(), 2 + held);
    EXPECT_NE(out.find(c.report), std::string::npos) << out;
    EXPECT_TRUE(*c.trace == '\0' || Traced(c.trace)) << c.trace;
  }
  EXPECT_EQ(SettledDescriptorCount(fds), fds) << "no descriptor is left behind";
}

TEST(CServerSocket, ShutdownEndsEveryBlockedStateAtOnceWithoutCallingTheListener) {
  struct Case {
    const char* what;
    int type;
    bool connect;
    uint32_t state;
  } cases[] = {
      {"never initialised", SOCKTYPE_NONE, false, CServerSocket::STATE_IDLE},
      {"blocked in accept", SOCKTYPE_TCP, false, CServerSocket::STATE_IDLE},
      {"blocked inside a frame", SOCKTYPE_TCP, true, CServerSocket::STATE_TERMINATING},
      {"blocked in the datagram receive", SOCKTYPE_UDP_BROADCAST, false, CServerSocket::STATE_IDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Server<> server;
    // Every wait of the socket lasts far beyond the guard, so that a
    // Shutdown that waited one out is told from one that cut it.
    CServerSocket::Timeouts timeouts;
    timeouts.uiSilentPeerMs = timeouts.uiRequestWaitMs = 4 * kGuardMs;
    server.socket.SetTimeouts(timeouts);
    ASSERT_TRUE(c.type == SOCKTYPE_NONE || server.Start(c.type) == 0);
    int s = -1;
    if (c.connect) {
      s = ConnectTo("127.0.0.1", server.Port());
      SendAll(s, std::string("\x10\x00", 2));
      ASSERT_TRUE(server.recorder.WaitForAccepts(1));
    }
    auto t0 = Clock::now();
    EXPECT_EQ(server.socket.Shutdown(), 0);
    EXPECT_LT(MsSince(t0), kGuardMs);
    EXPECT_EQ(server.socket.GetState(), c.state);
    EXPECT_TRUE(s < 0 || UntilClosed(s) == "|closed");
    EXPECT_EQ(server.socket.Shutdown(), 0) << "a second shutdown is harmless";
    EXPECT_TRUE(server.recorder.Errors().empty());
  }
}

TEST(CServerSocket, AReplyThatThePeerStopsReadingEndsAfterTheReplyTimeOrAtOnceOnShutdown) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "Shutdown during the send" : "the reply time runs out");
    Server<CBigReplies> server;
    CServerSocket::Timeouts timeouts;
    // Stopped, the send may not wait out its reply time: one far beyond the
    // guard tells a cut send from a timed-out one on any machine.
    timeouts.uiReplySendMs = stop ? 4 * kGuardMs : 100;
    server.socket.SetTimeouts(timeouts);
    ASSERT_EQ(server.Start(), 0);
    const int holder = HoldServer(server.Port());
    int s = ConnectTo("127.0.0.1", server.Port());
    ASSERT_TRUE(SendAll(s, Frame({2034})));
    close(holder);
    testing::internal::CaptureStdout();
    if (stop) {
      // The first bytes of the reply have arrived: the send is under way.
      struct pollfd pfd = {s, POLLIN, 0};
      ASSERT_EQ(poll(&pfd, 1, kGuardMs), 1);
      auto t0 = Clock::now();
      EXPECT_EQ(server.socket.Shutdown(), 0);
      EXPECT_LT(MsSince(t0), kGuardMs);
      EXPECT_TRUE(server.recorder.Errors().empty());
    } else {
      ASSERT_TRUE(server.recorder.WaitForErrors(1));
      EXPECT_EQ(server.recorder.Errors(), std::vector<int>{-2});
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Wrong number of bytes sent") != std::string::npos, !stop) << out;
    close(s);
  }
}

// A listener whose call waits until released.
struct CSlow : CRecorder {
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remote,
                     const std::string& local) override {
    CRecorder::OnDataReceived(request, reply, remote, local);
    release.Wait();
    callEnded = true;
    return 0;
  }
  Latch release;
  std::atomic<bool> callEnded{false};
};

// The control server on 127.0.0.1 (a port the system chooses), shut down
// with the object.
template <typename Listener = CRecorder>
struct Control {
  explicit Control(CControlServer::Timeouts timeouts = {}, CControlServer::Limits limits = {}) : server(&recorder) {
    server.SetTimeouts(timeouts);
    server.SetLimits(limits);
    server.SetLocalAddress("127.0.0.1");
  }
  ~Control() { server.Shutdown(); }
  Listener recorder;
  CControlServer server;
};

TEST(CServerSocket, ShutdownDuringAListenerCallCutsTheConnectionAtOnceAndReturnsWhenTheCallEnds) {
  Server<CSlow> server;
  Control<CSlow> control;
  ASSERT_EQ(server.Start(), 0);
  ASSERT_EQ(control.server.Initialize(0), 0);
  const std::vector<std::tuple<CSlow*, uint16_t, std::function<int()>>> both = {
      {&server.recorder, server.Port(), [&] { return server.socket.Shutdown(); }},
      {&control.recorder, control.server.GetPort(), [&] { return control.server.Shutdown(); }}};
  for (const auto& s : both) {
    CSlow& recorder = *std::get<0>(s);
    int c = ConnectTo("127.0.0.1", std::get<1>(s));
    ASSERT_TRUE(SendAll(c, Frame({2034})));
    ASSERT_TRUE(recorder.WaitForCalls(1));
    std::atomic<bool> returnedAfterCall{false};
    std::thread stopper([&] {
      std::get<2>(s)();
      returnedAfterCall = recorder.callEnded.load();
    });
    EXPECT_EQ(UntilClosed(c), "|closed") << "the connection is cut while the listener still runs";
    EXPECT_FALSE(recorder.callEnded);
    recorder.release.Set();
    stopper.join();
    EXPECT_TRUE(returnedAfterCall);
    EXPECT_TRUE(recorder.Errors().empty());
  }
}

// Each bad peer's conversation ends alone, with the report and trace line a
// server socket gives it, never as an error of the server, which answers the
// next conversation as it is.
TEST(CControlServer, EachBadConversationEndsAloneWithItsReportAndTheServerGoesOn) {
  tracetest::TraceCapture trace("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  enum { SHORT_WAITS = 1, THROWS = 2, FAILS = 4, UNREAD = 8, NO_REPLY_ROOM = 16 };
  const struct {
    const char* what;
    int knobs;
    std::string send;
    bool closeSending;
    std::string reply;
    const char *report, *trace;
  } cases[] = {
      {"one request", 0, Frame({100, 7}), true, Frame({101, 7}), "", ""},
      {"a close before any byte", 0, "", true, "", "", ""},
      {"a close inside the content", 0, Frame({100, 1, 2}).substr(0, 6), true, "", "",
       "RecvFromRemote_5::bTerminate = 0"},
      {"data instead of the close", 0, Frame({100, 1}) + "more", true, Frame({101, 1}),
       "WaitForRemoteShutdown:Recv: error code = ", "RecvFromRemote_7::bTerminate = 0"},
      {"a length beyond the largest frame", 0, LengthThenId(MAX_FRAME_LENGTH + 1), false, "",
       "Recv Error: error code = 10040", "RecvFromRemote_6::bTerminate = 0"},
      {"a length below the length slot", 0, LengthThenId(3), false, "", "Recv Error: error code = 10040",
       "RecvFromRemote_6::bTerminate = 0"},
      {"a large frame beyond the bytes left for them", 0, LengthThenId(CControlServer::SMALL_FRAME + 1), false, "",
       "Recv Error: error code = 10055", "RecvFromRemote_6::bTerminate = 0"},
      {"a listener that throws", THROWS, Frame({100}), true, "", "Exception Caught in CServerSocket::RunTCP", ""},
      {"a listener that fails", FAILS, Frame({100}), true, "", "", "RecvFromRemote_7::bTerminate = 0"},
      {"a reply beyond the bytes left for replies", NO_REPLY_ROOM, Frame({2034}), true, "", "", ""},
      {"a silent peer", SHORT_WAITS, "", false, "", "Recv Error: error code = 10060",
       "RecvFromRemote::bTerminate = 0"},
      {"a peer stalled inside the content", SHORT_WAITS, Frame({100, 1, 2}).substr(0, 6), false, "",
       "Recv Error: error code = 10060", "RecvFromRemote::bTerminate_4 = 0"},
      {"a peer that never closes", SHORT_WAITS, Frame({100, 1}), false, Frame({101, 1}),
       "CServerSocket::Timeout waiting for remote shutdown: error code = ", "RecvFromRemote_7::bTerminate = 0"},
      {"a reply the peer does not take", SHORT_WAITS | UNREAD, Frame({2034}), true, "",
       "Wrong number of bytes sent", "RecvFromRemote_7::bTerminate = 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tracetest::TraceCapture::Clear();
    CControlServer::Timeouts timeouts;
    timeouts.uiRequestWaitMs = timeouts.uiReplyWaitMs = (c.knobs & SHORT_WAITS) ? 100 : 4 * kGuardMs;
    CControlServer::Limits limits;
    limits.uiRequestBytes = CControlServer::SMALL_FRAME;
    if (c.knobs & UNREAD) limits.uiReplyBytes = 64u << 20;
    if (c.knobs & NO_REPLY_ROOM) limits.uiReplyBytes = 1u << 20;
    Control<CBigReplies> control(timeouts, limits);
    control.recorder.m_bThrowOnce = c.knobs & THROWS;
    control.recorder.m_iResultOnce = (c.knobs & FAILS) ? -1 : 0;
    ASSERT_EQ(control.server.Initialize(0), 0);
    testing::internal::CaptureStdout();
    int s = ConnectTo("127.0.0.1", control.server.GetPort());
    ASSERT_TRUE(SendAll(s, c.send));
    if (c.closeSending) shutdown(s, SHUT_WR);
    // The call that throws or fails is the bad peer's.
    ASSERT_TRUE(!(c.knobs & (THROWS | FAILS)) || control.recorder.WaitForCalls(1));
    EXPECT_EQ(Converse(control.server.GetPort(), Frame({7})), Frame({8}));
    // The reply left unread stays so until the server gives up on it.
    for (auto t0 = Clock::now(); (c.knobs & UNREAD) && !Traced(c.trace) && MsSince(t0) < kGuardMs;)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::string got = (c.knobs & UNREAD) ? c.reply + "|closed" : UntilClosed(s);
    if (c.knobs & UNREAD) close(s);
    EXPECT_EQ(got, c.reply + "|closed");
    control.server.Shutdown();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(control.recorder.Errors().empty());
    EXPECT_NE(out.find(c.report), std::string::npos) << out;
    EXPECT_TRUE(*c.trace == '\0' || Traced(c.trace)) << c.trace;
    EXPECT_EQ(Traced("CControlServer::Run Reply of 33554440 bytes to 127.0.0.1 dropped: 0 bytes of replies not yet "
                     "taken, at most 1048576 (0 more since the last line)"),
              (c.knobs & NO_REPLY_ROOM) != 0);
  }
}

// Beyond the cap, the oldest connection that has not sent its request is
// closed (one line tells), and a request is answered whatever number of
// idle peers wait beside it.
TEST(CControlServer, IdleConnectionsBeyondTheCapCloseTheOldestAndARequestIsAnswered) {
  tracetest::TraceCapture trace("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  CControlServer::Timeouts timeouts;
  timeouts.uiRequestWaitMs = 4 * kGuardMs;
  CControlServer::Limits limits;
  limits.uiConversations = 8;
  Control<> control(timeouts, limits);
  ASSERT_EQ(control.server.Initialize(0), 0);
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(ConnectTo("127.0.0.1", control.server.GetPort()));
  EXPECT_EQ(Converse(control.server.GetPort(), Frame({7})), Frame({8}));
  // Closed: the 12 the idle ones pushed out, and one for the request.
  for (size_t i = 0; i < idle.size(); ++i) {
    bool closed = false;
    ReadFor(idle[i], i < 13 ? kGuardMs : 0, 0, &closed);
    EXPECT_EQ(closed, i < 13) << i;
    close(idle[i]);
  }
  const std::vector<std::string> lines = tracetest::TraceCapture::Messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "CControlServer::Run 8 conversations open: the oldest that has not sent its request is "
                       "closed (0 more since the last line)"),
            1);
}

TEST(CServerSocket, InitializeRefusesASecondStartUnknownTypesAndAFixedPortInUse) {
  Server<> server;
  ASSERT_EQ(server.Start(), 0);
  const uint16_t port = server.Port();
  EXPECT_EQ(server.socket.Initialize(SOCKTYPE_TCP, 0, false), 8705);
  EXPECT_EQ(server.Port(), port);
  EXPECT_EQ(Converse(port, Frame({1})), Frame({2}));

  for (int type : {0, 5}) {
    Server<> other;
    EXPECT_EQ(other.Start(type), 8705);
    EXPECT_EQ(other.socket.GetState(), CServerSocket::STATE_IDLE);
  }
  Server<> clash;
  testing::internal::CaptureStdout();
  EXPECT_EQ(clash.Start(SOCKTYPE_TCP, false, "127.0.0.1", port), 8710);
  const std::string out = testing::internal::GetCapturedStdout();
  for (const std::string& report : {"Addr = 127.0.0.1\nport = " + std::to_string(port) + "\n",
                                    std::string("Could not bind to socket m_socket = "),
                                    std::string("error code = 10048, error string = Address already in use.")})
    EXPECT_NE(out.find(report), std::string::npos) << out;
  EXPECT_EQ(clash.socket.GetState(), CServerSocket::STATE_IDLE);
  EXPECT_EQ(clash.socket.GetSocket(), INVALID_SOCKET);
}

TEST(CServerSocket, DatagramsReachTheListenerBehindTheirLengthSlot) {
  tracetest::TraceCapture trace("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  Server<> server;
  ASSERT_EQ(server.Start(SOCKTYPE_UDP_BROADCAST), 0);
  const std::string datagram = Frame({2157, 0xA5A5A5A5u});
  const std::string longest = datagram + std::string(8192 - datagram.size(), 'x');
  // An empty datagram, a 2-byte one and one longer than 8192 bytes (dropped
  // with its line) do not end the receive thread; the last datagram shows
  // that, and that the long one left nothing behind in the reused archive.
  for (const std::string& d : {datagram, std::string(), std::string("ab"), longest + "y", longest, datagram})
    ASSERT_TRUE(SendDatagram("127.0.0.1", server.Port(), d));
  ASSERT_TRUE(server.recorder.WaitForCalls(4));
  const std::string from = "127.0.0.1>127.0.0.1 ", first = from + datagram.substr(4);
  EXPECT_EQ(Seen(server.recorder), (std::vector<std::string>{first, from, from + longest.substr(4), first}));
  server.socket.Shutdown();
  EXPECT_TRUE(server.recorder.Errors().empty());
  EXPECT_TRUE(Traced("CServerSocket::RunUDP Datagram of 8193 bytes from 127.0.0.1 dropped: longer than 8192"));
}

// Fixed ports: these run in a private network namespace.

TEST(CServerSocketPorts, AutomaticPortsAreConsecutiveWrapAfterTheHighestAndSkipATakenOne) {
  VCI_REQUIRE_NET_NAMESPACE();
  CRecorder recorder;
  uint16_t previous = 0;
  bool wrapped = false;
  for (int i = 0; i < 101 && !wrapped; ++i) {
    CServerSocket next(&recorder);
    ASSERT_EQ(next.GetHighestAutomaticPort(), 9099);  // 9005 + 100, at most 9099
    ASSERT_EQ(next.Initialize(SOCKTYPE_UDP_BROADCAST, 0, false), 0);
    const uint16_t port = next.GetPort();
    if (i == 0)
      EXPECT_GE(port, 9006);
    else if (previous == 9099)
      wrapped = port == 9006;
    else
      EXPECT_EQ(port, previous + 1);
    previous = port;
    next.Shutdown();
  }
  EXPECT_TRUE(wrapped);
  CServerSocket blocker(&recorder), skipper(&recorder);
  ASSERT_EQ(blocker.Initialize(SOCKTYPE_TCP, static_cast<uint16_t>(previous + 1), false), 0);
  ASSERT_EQ(skipper.Initialize(SOCKTYPE_TCP, 0, false), 0);
  EXPECT_EQ(skipper.GetPort(), previous + 2);
  skipper.Shutdown();
  blocker.Shutdown();
}

// Datagram sockets reuse their address on the ports of the VCI services
// only; every TCP listener does, so that the control server binds its port
// again at once after it closed a conversation itself (the peer never closed,
// and the connection lingers on the server's side).
TEST(CServerSocketPorts, EveryTcpListenerReusesItsAddressAndBindsAgainAfterClosingAConversationItself) {
  VCI_REQUIRE_NET_NAMESPACE();
  const int UDP = SOCKTYPE_UDP_BROADCAST, TCP = SOCKTYPE_TCP;
  const struct {
    int type;
    uint16_t port;
    bool reuse;
  } cases[] = {{UDP, 8080, true},  {UDP, 9000, true}, {UDP, 9005, true}, {UDP, 9006, false},
               {UDP, 8098, false}, {TCP, 8098, true}, {TCP, 8999, true}};
  for (const auto& c : cases) {
    CRecorder recorder;
    CServerSocket server(&recorder);
    ASSERT_EQ(server.Initialize(c.type, c.port, false), 0) << c.port;
    int value = -1;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(server.GetSocket(), SOL_SOCKET, SO_REUSEADDR, &value, &length), 0);
    EXPECT_EQ(value != 0, c.reuse) << c.type << " " << c.port;
    server.Shutdown();
  }

  for (int round = 0; round < 2; ++round) {
    Server<> control;
    CServerSocket::Timeouts timeouts;
    timeouts.uiRemoteShutdownWaitMs = 1;
    control.socket.SetTimeouts(timeouts);
    ASSERT_EQ(control.Start(SOCKTYPE_TCP, false, "127.0.0.1", 8098), 0) << "round " << round;
    testing::internal::CaptureStdout();
    const int s = ConnectTo("127.0.0.1", 8098);
    SendAll(s, Frame({2034}));
    const std::string got = UntilClosed(s);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(got, Frame({2035}) + "|closed") << "the server closed first";
  }
}

// Sends one datagram to 225.1.1.1:port from a socket bound to source, out of
// the interface that carries outInterface.
void SendToGroup(const char* source, const char* outInterface, uint16_t port, const std::string& datagram) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in from = Address(source, 0), to = Address("225.1.1.1", port);
  ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof from), 0) << source;
  struct in_addr out;
  inet_pton(AF_INET, outInterface, &out);
  ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
  ASSERT_EQ(sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(datagram.size()));
  close(s);
}

// Each socket receives what arrives on its own interface and port, with
// the sender's and its own address; a sentinel datagram on each interface
// shows that nothing else arrived before it.
TEST(CServerSocketMulticast, EachInterfaceSocketReceivesOnlyWhatArrivesOnItsInterfaceAndPort) {
  VCI_REQUIRE_NET_NAMESPACE();
  testenv::VethPair pair("vcimA", "vcimB");
  // Both ends live in this namespace, so vcimA must accept a source address
  // that is local. The pair carries traffic once both ends have their carrier.
  testenv::Sh("ip addr add 10.77.0.1/24 dev vcimA && ip addr add 10.77.0.2/24 dev vcimB && "
              "ip link set vcimA up && ip link set vcimB up && "
              "sysctl -qw net.ipv4.conf.vcimA.accept_local=1 net.ipv4.conf.vcimA.rp_filter=0 "
              "net.ipv4.conf.all.rp_filter=0");
  ASSERT_TRUE(testenv::WaitForCarrier("vcimA"));
  ASSERT_TRUE(testenv::WaitForCarrier("vcimB"));
  Server<> loopback, veth;
  ASSERT_EQ(loopback.Start(SOCKTYPE_UDP_MULTICAST, false, "127.0.0.1", 8194), 0);
  ASSERT_EQ(veth.Start(SOCKTYPE_UDP_MULTICAST, false, "10.77.0.1", 8194), 0);
  EXPECT_EQ(loopback.Port(), 8194);

  SendToGroup("10.77.0.2", "10.77.0.2", 8194, Frame({2157, 0xB}));  // out of vcimB, in on vcimA
  SendToGroup("127.0.0.2", "127.0.0.1", 8194, Frame({2157, 0x1}));
  SendToGroup("127.0.0.3", "127.0.0.1", 8195, Frame({2157, 0x2}));  // another port of the group
  SendToGroup("10.77.0.2", "10.77.0.2", 8194, Frame({2157, 0xE}));
  SendToGroup("127.0.0.2", "127.0.0.1", 8194, Frame({2157, 0xE}));
  ASSERT_TRUE(veth.recorder.WaitForCalls(2));
  ASSERT_TRUE(loopback.recorder.WaitForCalls(2));
  auto seen = [](const char* ends, uint32_t field) { return ends + Frame({2157, field}).substr(4); };
  EXPECT_EQ(Seen(veth.recorder), (std::vector<std::string>{seen("10.77.0.2>10.77.0.1 ", 0xB),
                                                           seen("10.77.0.2>10.77.0.1 ", 0xE)}));
  EXPECT_EQ(Seen(loopback.recorder), (std::vector<std::string>{seen("127.0.0.2>127.0.0.1 ", 0x1),
                                                               seen("127.0.0.2>127.0.0.1 ", 0xE)}));

  // Shutdown leaves the group; a socket opened afterwards receives again,
  // here from a client socket that sends through the loopback interface
  // from 127.0.0.2, each frame one datagram with a time to live of 5.
  loopback.socket.Shutdown();
  Server<> again;
  ASSERT_EQ(again.Start(SOCKTYPE_UDP_MULTICAST, false, "127.0.0.1", 8194), 0);
  CClientSocket client(false);
  ASSERT_EQ(client.Initialize(nullptr, SOCKTYPE_UDP_MULTICAST, "127.0.0.1", "127.0.0.2", 8194, false), 0);
  unsigned char ttl = 0;
  socklen_t length = sizeof ttl;
  ASSERT_EQ(getsockopt(client.GetSocket(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &length), 0);
  EXPECT_EQ(ttl, 5);
  CArchiveBuffer frame(CArchiveBuffer::STORING);
  frame.Write(2026u);
  ASSERT_EQ(client.SendOnly_ArchiveBuffer(frame), 0);
  ASSERT_TRUE(again.recorder.WaitForCalls(1));
  EXPECT_EQ(Seen(again.recorder), std::vector<std::string>{"127.0.0.2>127.0.0.1 " + Frame({2026}).substr(4)});
  EXPECT_EQ(loopback.recorder.Calls().size(), 2u);
  client.Shutdown(0);
}

}  // namespace
