// What the benchmarks that run the service's parts over the loopback share:
// a private network namespace (the service's ports are fixed), a scratch
// home with its registry, frames of records, and VCIs that announce from
// addresses of their own.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client_service/ClientConnectionMgr.h"
#include "discovery/VCIIdentClient.h"
#include "host/Brand.h"
#include "records/CompList.h"
#include "records/IdentConnect.h"
#include "records/IdentEvent.h"
#include "records/VCICachedMap.h"
#include "records/VCIIdentMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"

namespace bench {

using Clock = std::chrono::steady_clock;
const uint32_t kTokenLow = 0x01020304, kTokenHigh = 0x05060708;

// Enters a network namespace of its own (as root, or through a user
// namespace) with the loopback up.
inline bool EnterNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct ifreq ifr {};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "lo");
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return ok;
}

// A scratch folder as the installation's home, named by a registry file of
// its own (brand 1) that $VCI_IDENT_REGISTRY points to; "" on failure. The
// cache of brand 1 is home + kCacheFile.
const char kCacheFile[] = "/data_files/valid-module_1.bin";
inline std::string MakeHome(const char* tag) {
  std::string pattern = std::string("/tmp/vci-") + tag + "-bench-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return "";
  std::string brand;
  EncodeBrandText(GetBrandKeyName(1), brand);
  const std::string registry = pattern + "/registry.reg";
  std::ofstream(registry) << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"IdentServiceDefaultLocation\"=\""
                          << pattern << "\"\n\"Brand\"=\"" << brand << "\"\n";
  setenv("VCI_IDENT_REGISTRY", registry.c_str(), 1);
  return pattern;
}

inline void RemoveHome(const std::string& home) {
  // Best effort: a folder left behind is only a scratch folder.
  if (!home.empty() && std::system(("rm -rf " + home).c_str()) != 0) return;
}

inline CVCIIdentMsg Announcement(uint32_t serial, uint32_t state) {
  return CVCIIdentMsg(serial, state, kTokenLow, kTokenHigh, CSessionList(), 1);
}

// What a detail fetch would have stored: a few applications and components.
inline CVCIStatus Details(uint32_t serial) {
  CVCIStatus status;
  status.m_uiSerial = serial;
  for (int i = 0; i < 2; ++i) status.m_Apps.Add(CAppList::CApp(CAppVersion("Application" + std::to_string(i), "4.2.1")));
  for (int i = 0; i < 2; ++i) status.m_SysComps.Add(CCompList::CComp(CAppVersion("System" + std::to_string(i), "5.10")));
  status.m_DeviceInfo.SetValue("ProductVersion", "5.1.2");
  status.m_DeviceInfo.SetValue("ProductDate", "20260105");
  return status;
}

// A detail cache of VCIs serial..serial+count-1 in home, so that each is
// listed by its first announcement in state 0.
inline bool StoreCache(const std::string& home, uint32_t serial, uint32_t count) {
  CVCICachedMap cache;
  for (uint32_t i = 0; i < count; ++i)
    cache.Set(serial + i, CVCICachedItem(Announcement(serial + i, 0), Details(serial + i)));
  return cache.Store(home + kCacheFile) == 0;
}

// The i-th VCI's loopback address: 127.0.0.2, 127.0.0.3, ... (250 a block).
inline std::string VciAddress(uint32_t i) {
  return "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 2);
}

// One VCI's announcer: a socket bound to its own loopback address that
// sends to 225.1.1.1 through the loopback.
struct Announcer {
  int s = -1;
  void Open(const std::string& address) {
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    struct in_addr loopback {};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  }
  void Close() {
    if (s >= 0) close(s);
    s = -1;
  }
  bool Send(const std::string& datagram, uint16_t port = CVCIIdentClient::ANNOUNCE_PORT) const {
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "225.1.1.1", &to.sin_addr);
    return sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(datagram.size());
  }
};

// The bare receive loop's socket, set up as the engine's announcement
// sockets are: group 225.1.1.1 on the loopback at port (shared), a 4 MiB
// receive buffer (granted receives what the kernel gave); joined tells
// whether it joined the group.
inline int BareSocket(uint16_t port, bool& joined, int& granted) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1, off = 0, buffer = 4 * 1048576;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, "lo", 2);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "225.1.1.1", &a.sin_addr);
  struct ip_mreq request {};
  inet_pton(AF_INET, "225.1.1.1", &request.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &request.imr_interface);
  joined = bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 &&
           setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
  socklen_t length = sizeof granted;
  getsockopt(s, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  return s;
}

// VCIs first..first+count-1 (serial numbers from serial) with an announcer
// each and their unchanged announcement in the given state.
struct Bay {
  std::vector<Announcer> announcers;
  std::vector<std::string> datagrams;
  Bay(uint32_t first, uint32_t count, uint32_t serial, uint32_t state) : announcers(count) {
    for (uint32_t i = 0; i < count; ++i) {
      announcers[i].Open(VciAddress(first + i));
      CVCIIdentMsg msg = Announcement(serial + i, state);
      datagrams.push_back(FrameOf(msg));
    }
  }
  ~Bay() {
    for (Announcer& a : announcers) a.Close();
  }
  Bay(const Bay&) = delete;
  Bay& operator=(const Bay&) = delete;
  void AnnounceAll() const {
    for (size_t i = 0; i < announcers.size(); ++i) announcers[i].Send(datagrams[i]);
  }
};

// Every VCI of a bay announces once a second, spread evenly over the
// second, on a thread of its own until destroyed.
class Background {
 public:
  explicit Background(const Bay& bay) : m_Thread([this, &bay] {
    const size_t n = bay.announcers.size();
    const auto step = std::chrono::microseconds(1000000 / (n ? n : 1));
    auto next = Clock::now();
    for (size_t i = 0; !m_bStop; i = (i + 1) % n) {
      bay.announcers[i].Send(bay.datagrams[i]);
      next += step;
      std::this_thread::sleep_until(next);
    }
  }) {}
  ~Background() {
    m_bStop = true;
    m_Thread.join();
  }

 private:
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
};

// Frames completed by a set of receivers, with the time of the latest; the
// measuring thread sleeps until the count it waits for is reached, so that
// it takes no processor from the threads it measures.
class Completions {
 public:
  void Add() {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Last = std::max(m_Last, now);
    if (++m_Count >= m_Target) m_Cond.notify_one();
  }
  // Microseconds from t0 to the completion that brought the count to count.
  double WaitFor(uint64_t count, Clock::time_point t0) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Target = count;
    m_Cond.wait(lock, [&] { return m_Count >= count; });
    return std::chrono::duration<double, std::micro>(m_Last - t0).count();
  }
  uint64_t Count() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Count;
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  uint64_t m_Count = 0;       // Guarded by m_Mutex.
  uint64_t m_Target = 0;      // Guarded by m_Mutex.
  Clock::time_point m_Last;   // Guarded by m_Mutex.
};

// Reads whole frames from a connection and reports each when complete;
// acknowledges each when ack is set. Destroying it closes the connection.
class Receiver {
 public:
  Receiver(int s, bool ack, Completions& done) : m_Socket(s) {
    m_Thread = std::thread([s, ack, &done] {
      CIdentEvent_Recv acknowledgement(0);
      const std::string ackFrame = FrameOf(acknowledgement);
      std::vector<char> buffer(1 << 20);
      for (;;) {
        uint32_t length = 0;
        if (!ReadAll(s, reinterpret_cast<char*>(&length), 4) || length < 4 || length - 4 > buffer.size() ||
            !ReadAll(s, buffer.data(), length - 4))
          break;
        done.Add();
        if (ack && send(s, ackFrame.data(), ackFrame.size(), MSG_NOSIGNAL) < 0) break;
      }
      // The peer closed: so does this end (the descriptor stays for the
      // destructor).
      shutdown(s, SHUT_RDWR);
    });
  }
  ~Receiver() {
    shutdown(m_Socket, SHUT_RDWR);
    m_Thread.join();
    close(m_Socket);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

 private:
  static bool ReadAll(int s, char* p, size_t n) {
    for (size_t got = 0; got < n;) {
      ssize_t r = recv(s, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  int m_Socket;
  std::thread m_Thread;
};

inline int Listener(uint16_t& port, int backlog = 10) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<struct sockaddr*>(&a), &length);
  listen(s, backlog);
  port = ntohs(a.sin_port);
  return s;
}

inline int Connect(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Registers an application with the service on the loopback: its event
// port and name, and whether it wants the trace file. Connection attempts
// are repeated for up to 10 s (the service may be starting); connected
// receives the time of the one that succeeded. The reply frame's content,
// "" when none came.
inline std::string Register(uint16_t eventPort, const std::string& name, Clock::time_point* connected = nullptr,
                            bool persist = false) {
  CIdentConnect_Send registration(eventPort, name, persist);
  const std::string request = FrameOf(registration);
  int s = -1;
  for (auto t0 = Clock::now(); s < 0 && Clock::now() - t0 < std::chrono::seconds(10);) {
    s = Connect(CClientConnectionMgr::CONTROL_PORT);
    if (s < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (connected) *connected = Clock::now();
  if (s < 0) return "";
  send(s, request.data(), request.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  std::string reply;
  char b[65536];
  for (ssize_t n; (n = recv(s, b, sizeof b, 0)) > 0;) reply.append(b, static_cast<size_t>(n));
  close(s);
  return reply.size() > 4 ? reply.substr(4) : "";
}

// Registers an application named name and returns the receiver of its
// events, which acknowledges each; reply receives the registration's reply.
inline std::unique_ptr<Receiver> RegisterClient(const std::string& name, Completions& done,
                                                std::string* reply = nullptr,
                                                Clock::time_point* connected = nullptr, bool persist = false) {
  uint16_t port;
  int listener = Listener(port);
  const struct timeval limit = {10, 0};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  std::thread ask([&] { answer = Register(port, name, connected, persist); });
  std::unique_ptr<Receiver> receiver(new Receiver(accept(listener, nullptr, nullptr), true, done));
  ask.join();
  close(listener);
  if (reply) *reply = answer;
  return receiver;
}

}  // namespace bench
