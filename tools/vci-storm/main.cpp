// vci-storm: hostile and heavy traffic against a running service, for
// scripts/storm.sh. Each mode runs for a bounded count or time and prints
// one line of figures; SIGTERM or SIGINT ends any of them early (within
// about a second), with the figures so far.
//
//   vci-storm datagrams COUNT            random datagrams to 225.1.1.1:8194
//   vci-storm changes ADDRESS RATE SECS  the announcement heard from ADDRESS,
//                                        its module state flipped in each one;
//                                        SECS 0: until SIGTERM or SIGINT
//   vci-storm abuse COUNT PARALLEL       bad conversations on the control port
//   vci-storm serials ADDRESS STATE FIRST RATE SECS
//                                        announcements from ADDRESS, each with
//                                        a serial number never sent before
//                                        (FIRST, FIRST + 1, ...) in module
//                                        state STATE; RATE 0: as fast as it goes
//   vci-storm client SECS [ACK_MS]       a registered application: through
//                                        the client library, or acknowledging
//                                        each event ACK_MS late; SECS 0: until
//                                        SIGTERM or SIGINT
//   vci-storm idle COUNT                 COUNT idle control connections, each
//                                        made again when the service cuts it,
//                                        until SIGTERM or SIGINT
//   vci-storm halfopen PARALLEL          registrations naming an event port
//                                        that never completes the handshake,
//                                        PARALLEL at a time, until SIGTERM
//   vci-storm answers SECS P99_MS        a well-behaved application timing
//                                        every answer (register, unregister);
//                                        fails when p99 passes P99_MS
//   vci-storm hold COUNT NAME_BYTES ADDRESS...
//                                        COUNT registrations from the
//                                        addresses in turn whose event ports
//                                        take the connection and never read;
//                                        held until SIGTERM or SIGINT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/CondVar.h"
#include "platform/Mutex.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/LogFile.h"
#include "records/VCIIdentMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ClientSocket.h"
#include "transport/ServerEvent.h"
#include "transport/ServerSocket.h"
#include "VersionText.h"
#include "vci-ident/IdentClient.h"
#include "vci-ident/IdentClientListener.h"

namespace {

typedef std::chrono::steady_clock Clock;
const uint16_t kAnnouncePort = 8194;
const uint16_t kControlPort = 8098;

// Read by every thread of a storm; a lock-free atomic is safe in a handler.
std::atomic<int> g_Stop{0};
void OnStop(int) { g_Stop = 1; }
bool Running(Clock::time_point t0, uint32_t seconds) {
  return !g_Stop && (seconds == 0 || std::chrono::duration<double>(Clock::now() - t0).count() < seconds);
}

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

sockaddr_in Address(const char* text, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

// A datagram socket sending to the group through the loopback interface,
// from `from` when given.
int GroupSender(const char* from) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  in_addr lo{};
  inet_pton(AF_INET, "127.0.0.1", &lo);
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  if (from != nullptr) {
    sockaddr_in a = Address(from, 0);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("bind");
  }
  return s;
}

// Sends at most `rate` datagrams per second (0: as fast as it goes); a
// datagram the socket cannot take now is retried.
void Send(int s, const std::vector<uint8_t>& d, uint32_t rate, uint64_t n, Clock::time_point t0) {
  static const sockaddr_in group = Address("225.1.1.1", kAnnouncePort);
  if (rate != 0) {
    const auto due = t0 + std::chrono::microseconds(n * 1000000 / rate);
    if (Clock::now() < due) std::this_thread::sleep_until(due);
  }
  while (sendto(s, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) < 0 &&
         (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) && !g_Stop) {
  }
}

int Datagrams(uint64_t count) {
  const uint32_t ids[] = {2157, 2026, 2070, 0x8000 | 2157, 2121, 0, 0xFFFFFFFF};
  std::mt19937 random(4711);
  int s = GroupSender(nullptr);
  std::vector<uint8_t> d;
  const Clock::time_point t0 = Clock::now();
  uint64_t n = 0;
  for (; n < count && !g_Stop; ++n) {
    d.resize(random() % 1501);
    for (uint8_t& b : d) b = static_cast<uint8_t>(random());
    if (d.size() >= 8) {
      const uint32_t id = (random() % 2) ? ids[random() % 7] : static_cast<uint32_t>(random());
      for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(id >> (8 * i));
    }
    Send(s, d, 0, n, t0);
  }
  std::printf("datagrams sent=%llu seconds=%.1f\n", static_cast<unsigned long long>(n), SecondsSince(t0));
  close(s);
  return 0;
}

// A record's whole frame, length word included.
std::vector<uint8_t> FrameBytes(CSerialize& record) {
  const std::string frame = FrameOf(record);
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

// The frame of an announcement of `heard` with another module state.
std::vector<uint8_t> Variant(const CVCIIdentMsg& heard, uint32_t state) {
  CVCIIdentMsg msg(heard.GetSerial(), state, heard.GetTokenLow(), heard.GetTokenHigh(), heard.GetSessions(),
                   heard.GetKind(), 0, 0, heard.GetModuleType());
  msg.SetVersion(heard.GetVersion());
  msg.SetWireless(heard.GetWireless());
  return FrameBytes(msg);
}

int Changes(const char* address, uint32_t rate, uint32_t seconds) {
  // The VCI's own announcement first, so that the storm carries its token
  // and details stay cached.
  int r = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(r, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in any = Address("225.1.1.1", kAnnouncePort);
  bind(r, reinterpret_cast<sockaddr*>(&any), sizeof any);
  ip_mreq join{};
  inet_pton(AF_INET, "225.1.1.1", &join.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &join.imr_interface);
  setsockopt(r, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
  CVCIIdentMsg heard;
  bool found = false;
  while (!found && !g_Stop) {
    uint8_t buffer[8192];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    pollfd pfd = {r, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) {
      if (g_Stop) break;
      std::fprintf(stderr, "vci-storm: no announcement from %s\n", address);
      return 1;
    }
    ssize_t n = recvfrom(r, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 8 || from.sin_addr.s_addr != Address(address, 0).sin_addr.s_addr) continue;
    CArchiveBuffer ar(CArchiveBuffer::LOADING);
    if (!ar.AllocateData(static_cast<uint32_t>(n - 4))) return 1;
    uint8_t* content = nullptr;
    uint32_t size = 0;
    ar.GetContent(content, size);
    std::memcpy(content, buffer + 4, size);
    ar.Rewind(CArchiveBuffer::LOADING);
    found = heard.Serialize(ar);
  }
  close(r);
  if (!found) return 0;  // stopped before the VCI was heard
  const std::vector<uint8_t> variants[2] = {Variant(heard, 0), Variant(heard, 1)};
  int s = GroupSender(address);
  const Clock::time_point t0 = Clock::now();
  const uint64_t count = seconds == 0 ? UINT64_MAX : static_cast<uint64_t>(rate) * seconds;
  uint64_t n = 0;
  for (; n < count && !g_Stop; ++n) Send(s, variants[n % 2], rate, n, t0);
  // Back to the state the VCI announces itself.
  Send(s, Variant(heard, heard.GetModuleState()), 0, 0, t0);
  std::printf("changes serial=%u sent=%llu seconds=%.1f\n", heard.GetSerial(), static_cast<unsigned long long>(n),
              SecondsSince(t0));
  close(s);
  return 0;
}

// A sender that spoofs VCIs: every announcement names a new serial number,
// so that each one is a new VCI to the service (a fetch in normal state,
// a listing at once in recovery state, 2).
int Serials(const char* address, uint32_t state, uint32_t first, uint32_t rate, uint32_t seconds) {
  CVCIIdentMsg msg(first, state, 0x5700F00D, 0x0BADC0DE, CSessionList(), 1);
  std::vector<uint8_t> d = FrameBytes(msg);
  // The serial number follows the length word, the id word and the version.
  const size_t at = 9;
  int s = GroupSender(address);
  const Clock::time_point t0 = Clock::now();
  uint64_t n = 0;
  for (; Running(t0, seconds); ++n) {
    const uint32_t serial = first + static_cast<uint32_t>(n);
    std::memcpy(d.data() + at, &serial, sizeof serial);
    Send(s, d, rate, n, t0);
  }
  std::printf("serials from=%s state=%u sent=%llu seconds=%.1f\n", address, state, static_cast<unsigned long long>(n),
              SecondsSince(t0));
  close(s);
  return 0;
}

// One bad conversation; returns when the service has closed it (or after
// a minute).
void Abuse(int kind, std::mt19937& random) {
  // Every bad conversation reaches the service: a port that refuses is
  // being replaced, and is asked again.
  const sockaddr_in a = Address("127.0.0.1", kControlPort);
  int s = -1;
  for (const Clock::time_point t0 = Clock::now(); s < 0 && SecondsSince(t0) < 10 && !g_Stop;) {
    s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      close(s);
      s = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (s < 0) return;
  std::vector<uint8_t> bytes;
  bool readReply = true;
  switch (kind) {
    case 0:  // nothing
      break;
    case 1:  // three bytes of a frame length
      bytes = {0x10, 0, 0};
      break;
    case 2:  // a frame length of 4 GiB - 1
      bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0xE2, 0x07, 0, 0};
      break;
    case 3: {  // a random frame
      bytes.resize(8 + random() % 256);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      const uint32_t length = static_cast<uint32_t>(bytes.size());
      std::memcpy(bytes.data(), &length, 4);
      break;
    }
    default: {  // the data files, read no further than the first bytes
      CLogFile_Send request;
      bytes = FrameBytes(request);
      readReply = false;
      break;
    }
  }
  if (!bytes.empty()) send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (kind == 3) shutdown(s, SHUT_WR);
  // The one that stops reading takes the first bytes of its reply only and
  // then waits, reading nothing more, for the service to give up on it.
  // Its close may never come through (the unread reply stays ahead of it),
  // so that one waits 10 s, well beyond the service's 5 s for a reply.
  char buffer[1024];
  const Clock::time_point t0 = Clock::now();
  for (bool first = true; SecondsSince(t0) < (readReply ? 60 : 10) && !g_Stop;) {
    pollfd pfd = {s, static_cast<short>(readReply || first ? POLLIN : POLLRDHUP), 0};
    if (poll(&pfd, 1, 1000) != 1) continue;
    if (!readReply && !first) break;
    if (recv(s, buffer, sizeof buffer, 0) <= 0) break;
    first = false;
  }
  close(s);
}

int AbuseStorm(uint32_t count, uint32_t parallel) {
  std::atomic<uint32_t> next{0};
  const Clock::time_point t0 = Clock::now();
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < parallel; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (uint32_t n; !g_Stop && (n = next++) < count;) Abuse(static_cast<int>(n % 5), random);
    });
  for (std::thread& t : threads) t.join();
  std::printf("abuse connections=%u parallel=%u seconds=%.1f\n", std::min(next.load(), count), parallel,
              SecondsSince(t0));
  return 0;
}

// Counts the events of a library registration.
class CCounter : public vciident::IIdentClientListener {
 public:
  void OnTableChanged(const std::vector<vciident::VciInfo>&) override { Count(); }
  void OnBindingsChanged(const std::vector<vciident::VciBinding>&) override { Count(); }
  uint64_t Wait(uint64_t above, int ms) {
    CMutexLock lock(m_Lock);
    m_Changed.WaitFor(m_Lock, std::chrono::milliseconds(ms), [&] { return m_uiEvents > above; });
    return m_uiEvents;
  }

 private:
  void Count() {
    CMutexLock lock(m_Lock);
    ++m_uiEvents;
    m_Changed.NotifyAll();
  }
  CMutex m_Lock;
  CCondVar m_Changed;
  uint64_t m_uiEvents = 0;  // Guarded by m_Lock.
};

// A well-behaved application through the client library: register, wait
// for an event, unregister, again and again; the longest waits are its
// figures.
int LibraryClient(uint32_t seconds) {
  CCounter counter;
  vciident::ClientOptions options;
  options.clientName = "storm-client";
  options.listener = &counter;
  vciident::CIdentClient client(options);
  double longestConnect = 0, longestDisconnect = 0;
  uint64_t events = 0;
  int rounds = 0, failures = 0;
  std::string codes;
  const Clock::time_point t0 = Clock::now();
  while (Running(t0, seconds)) {
    Clock::time_point t = Clock::now();
    const int connected = client.Connect();
    longestConnect = std::max(longestConnect, SecondsSince(t));
    if (connected != 0) {
      ++failures;
      codes += " " + std::to_string(connected);
      continue;
    }
    events = counter.Wait(events, 2000);
    t = Clock::now();
    const int disconnected = client.Disconnect();
    if (disconnected != 0) {
      ++failures;
      codes += " " + std::to_string(disconnected);
    }
    longestDisconnect = std::max(longestDisconnect, SecondsSince(t));
    ++rounds;
  }
  std::printf("client rounds=%d failures=%d%s%s events=%llu longest_register_s=%.2f longest_unregister_s=%.2f\n",
              rounds, failures, codes.empty() ? "" : " codes", codes.c_str(), static_cast<unsigned long long>(events),
              longestConnect, longestDisconnect);
  return failures == 0 && rounds > 0 ? 0 : 1;
}

// The event port of a slow application: each event acknowledged late.
class CSlowAcks : public IServerEvent {
 public:
  explicit CSlowAcks(uint32_t ackMs) : m_uiAckMs(ackMs) {}
  int OnDataReceived(CArchiveBuffer&, CArchiveBuffer& reply, const std::string&, const std::string&) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(m_uiAckMs));
    ++m_uiEvents;
    CIdentEvent_Recv ack(0);
    return ack.Serialize(reply) ? 0 : -1;
  }
  bool OnErrorDetected(int) override { return false; }
  void OnAccept(const std::string&) override {}
  std::atomic<uint64_t> m_uiEvents{0};

 private:
  const uint32_t m_uiAckMs;
};

int SlowClient(uint32_t seconds, uint32_t ackMs) {
  CSlowAcks acks(ackMs);
  CServerSocket events(&acks);
  events.SetSystemChosenPort(true);
  events.SetLocalAddress("127.0.0.1");
  if (events.Initialize(SOCKTYPE_TCP, 0, true) != 0) return 1;
  CIdentConnect_Send request(events.GetPort(), "storm-slow", false, 1);
  CIdentConnect_Recv reply;
  CArchiveBuffer out(CArchiveBuffer::STORING), in(CArchiveBuffer::LOADING);
  request.Serialize(out);
  CClientSocket control(false);
  int iRet = control.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", kControlPort, false);
  if (iRet == 0) iRet = control.SendRecv_ArchiveBuffer(out, in, 10000);
  if (iRet != 0 || !reply.Serialize(in) || reply.GetResult() != 0) {
    std::fprintf(stderr, "vci-storm: the slow client could not register (%d)\n", iRet);
    return 1;
  }
  for (const Clock::time_point t0 = Clock::now(); Running(t0, seconds);)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CIdentDisconnect_Send bye(reply.m_uiSessionId);
  CArchiveBuffer out2(CArchiveBuffer::STORING), in2(CArchiveBuffer::LOADING);
  bye.Serialize(out2);
  CClientSocket control2(false);
  if (control2.Initialize(nullptr, SOCKTYPE_TCP, "127.0.0.1", "127.0.0.1", kControlPort, false) == 0)
    control2.SendRecv_ArchiveBuffer(out2, in2, 10000);
  events.Shutdown();
  std::printf("slow-client events=%llu ack_ms=%u\n", static_cast<unsigned long long>(acks.m_uiEvents.load()), ackMs);
  return 0;
}

// ---- The control port under load: idle connections, half-open event
// ports, registrations that never read, and the answers a well-behaved
// application gets beside them.

// A TCP connection to the control port from `from` (port 0); -1 when refused.
int ControlConnection(const char* from) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in local = Address(from, 0), to = Address("127.0.0.1", kControlPort);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// A listening socket on from:0 with the given backlog; its port in *port.
int EventPort(const char* from, int backlog, uint16_t* port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address(from, 0);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, backlog);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return s;
}

// One control conversation from `from`: the request's frame out, the reply
// read until the service closes (at most waitMs). 0 with the reply read
// into `reply`, or -1 (refused, cut, no reply or a reply that does not read).
int Converse(CSerialize& request, CSerialize& reply, const char* from, int waitMs) {
  int s = ControlConnection(from);
  if (s < 0) return -1;
  const std::string frame = FrameOf(request);
  send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  std::string got;
  char buffer[65536];
  for (const Clock::time_point t0 = Clock::now(); SecondsSince(t0) * 1000 < waitMs && !g_Stop;) {
    pollfd pfd = {s, POLLIN, 0};
    if (poll(&pfd, 1, 100) != 1) continue;
    const ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  close(s);
  if (got.size() < 8) return -1;
  CArchiveBuffer in(CArchiveBuffer::LOADING);
  uint8_t* content = nullptr;
  uint32_t size = 0;
  if (!in.AllocateData(static_cast<uint32_t>(got.size() - 4))) return -1;
  in.GetContent(content, size);
  std::memcpy(content, got.data() + 4, size);
  in.Rewind(CArchiveBuffer::LOADING);
  return reply.Serialize(in) ? 0 : -1;
}

int Idle(uint32_t count) {
  std::vector<pollfd> fds(count, pollfd{-1, POLLIN, 0});
  uint64_t cuts = 0;
  const Clock::time_point t0 = Clock::now();
  while (!g_Stop) {
    for (pollfd& p : fds)
      if (p.fd < 0) p.fd = ControlConnection("127.0.0.1");
    if (poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (pollfd& p : fds) {
      char buffer[256];
      if (p.fd < 0 || p.revents == 0 || recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) continue;
      close(p.fd);
      p.fd = -1;
      ++cuts;
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  std::printf("idle connections=%u cut=%llu seconds=%.1f\n", count, static_cast<unsigned long long>(cuts),
              SecondsSince(t0));
  return 0;
}

int HalfOpen(uint32_t parallel) {
  // A listener whose backlog of one is taken by a connection it never
  // accepts: the kernel drops every further handshake.
  uint16_t port = 0;
  const int listener = EventPort("127.0.0.1", 0, &port);
  const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = Address("127.0.0.1", port);
  connect(filler, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  std::atomic<uint64_t> sent{0}, answered{0};
  std::vector<std::thread> threads;
  const Clock::time_point t0 = Clock::now();
  for (uint32_t t = 0; t < parallel; ++t)
    threads.emplace_back([&] {
      while (!g_Stop) {
        CIdentConnect_Send request(port, "storm-halfopen");
        CIdentConnect_Recv reply;
        ++sent;
        if (Converse(request, reply, "127.0.0.1", 60000) == 0) ++answered;
      }
    });
  for (std::thread& t : threads) t.join();
  close(filler);
  close(listener);
  std::printf("halfopen registrations=%llu answered=%llu parallel=%u seconds=%.1f\n",
              static_cast<unsigned long long>(sent.load()), static_cast<unsigned long long>(answered.load()), parallel,
              SecondsSince(t0));
  return 0;
}

int Answers(uint32_t seconds, uint32_t p99LimitMs) {
  CSlowAcks acks(0);
  CServerSocket events(&acks);
  events.SetSystemChosenPort(true);
  events.SetLocalAddress("127.0.0.1");
  if (events.Initialize(SOCKTYPE_TCP, 0, true) != 0) return 1;
  std::vector<double> ms;
  int failures = 0;
  // Why requests failed: "register" or "unregister", then the result the
  // service gave ("no-reply" when none came), with their counts.
  std::map<std::string, int> why;
  auto timed = [&](CSerialize& request, CResponse& reply, const char* what) {
    const Clock::time_point t = Clock::now();
    const int r = Converse(request, reply, "127.0.0.1", 60000);
    ms.push_back(SecondsSince(t) * 1000);
    if (r == 0 && reply.GetResult() == 0) return true;
    ++failures;
    ++why[std::string(what) + ":" + (r != 0 ? std::string("no-reply") : std::to_string(reply.GetResult()))];
    return false;
  };
  for (const Clock::time_point t0 = Clock::now(); Running(t0, seconds);) {
    CIdentConnect_Send hello(events.GetPort(), "storm-answers");
    CIdentConnect_Recv registered;
    if (!timed(hello, registered, "register")) continue;
    CIdentDisconnect_Send bye(registered.m_uiSessionId);
    CIdentDisconnect_Recv unregistered;
    timed(bye, unregistered, "unregister");
  }
  events.Shutdown();
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
  std::string reasons;
  for (const auto& w : why) reasons += " " + w.first + "x" + std::to_string(w.second);
  std::printf("answers n=%zu failures=%d%s p50_ms=%.0f p99_ms=%.0f max_ms=%.0f\n", ms.size(), failures,
              reasons.c_str(), at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back());
  return failures == 0 && !ms.empty() && at(0.99) <= p99LimitMs ? 0 : 1;
}

int Hold(uint32_t count, uint32_t nameBytes, const std::vector<const char*>& from) {
  std::vector<int> held;
  uint32_t registered = 0;
  const std::string name(nameBytes, 'h');
  const Clock::time_point t0 = Clock::now();
  for (uint32_t n = 0; n < count && !g_Stop; ++n) {
    const char* address = from[n % from.size()];
    uint16_t port = 0;
    const int listener = EventPort(address, 1, &port);
    CIdentConnect_Send request(port, name);
    CIdentConnect_Recv reply;
    if (Converse(request, reply, address, 60000) == 0 && reply.GetResult() == 0) {
      ++registered;
      // The service's event connection, taken and never read.
      pollfd pfd = {listener, POLLIN, 0};
      if (poll(&pfd, 1, 1000) == 1) held.push_back(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    close(listener);
  }
  std::printf("hold registrations=%u registered=%u name_bytes=%u seconds=%.1f\n", count, registered, nameBytes,
              SecondsSince(t0));
  std::fflush(stdout);
  while (!g_Stop) pause();
  for (int s : held) close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  auto arg = [&](int i, unsigned long fallback) { return argc > i ? std::strtoul(argv[i], nullptr, 0) : fallback; };
  if (mode == "--version" && argc == 2) return PrintVersion("vci-storm");
  if (mode == "datagrams" && argc == 3) return Datagrams(arg(2, 0));
  if (mode == "changes" && argc == 5)
    return Changes(argv[2], static_cast<uint32_t>(arg(3, 0)), static_cast<uint32_t>(arg(4, 0)));
  if (mode == "abuse" && argc == 4)
    return AbuseStorm(static_cast<uint32_t>(arg(2, 0)), static_cast<uint32_t>(arg(3, 1)));
  if (mode == "serials" && argc == 7)
    return Serials(argv[2], static_cast<uint32_t>(arg(3, 0)), static_cast<uint32_t>(arg(4, 0)),
                   static_cast<uint32_t>(arg(5, 0)), static_cast<uint32_t>(arg(6, 0)));
  if (mode == "client" && argc == 3) return LibraryClient(static_cast<uint32_t>(arg(2, 0)));
  if (mode == "client" && argc == 4)
    return SlowClient(static_cast<uint32_t>(arg(2, 0)), static_cast<uint32_t>(arg(3, 0)));
  if (mode == "idle" && argc == 3) return Idle(static_cast<uint32_t>(arg(2, 0)));
  if (mode == "halfopen" && argc == 3) return HalfOpen(static_cast<uint32_t>(arg(2, 1)));
  if (mode == "answers" && argc == 4)
    return Answers(static_cast<uint32_t>(arg(2, 0)), static_cast<uint32_t>(arg(3, 0)));
  if (mode == "hold" && argc >= 5)
    return Hold(static_cast<uint32_t>(arg(2, 0)), static_cast<uint32_t>(arg(3, 0)),
                std::vector<const char*>(argv + 4, argv + argc));
  std::fprintf(stderr,
               "usage: vci-storm datagrams COUNT | changes ADDRESS RATE SECONDS | abuse COUNT PARALLEL |"
               " client SECONDS [ACK_MS] | serials ADDRESS STATE FIRST RATE SECONDS | idle COUNT |"
               " halfopen PARALLEL | answers SECONDS P99_MS | hold COUNT NAME_BYTES ADDRESS... | --version\n");
  return 2;
}
