// Helpers of the socket tests: frames built by hand from the wire layout,
// raw POSIX peers, a one-shot event, and a listener that records what a
// server socket hands it.
//
// Waits for something that must happen take kGuardMs: they only keep a
// broken build from hanging, and a healthy one never comes near them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "serialize/ArchiveBuffer.h"
#include "transport/ServerSocket.h"

namespace sockettest {

const int kGuardMs = 60000;

using Clock = std::chrono::steady_clock;
inline long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A one-shot event between threads.
class Latch {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bSet = true;
    m_Cond.notify_all();
  }
  bool Wait(int ms = kGuardMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bSet; });
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  bool m_bSet = false;
};

inline void PutWord(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline uint32_t GetWord(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(in[at + i])) << (8 * i);
  return v;
}
// A frame: total length (counting itself), then the given content words.
inline std::string Frame(const std::vector<uint32_t>& words) {
  std::string out;
  PutWord(out, static_cast<uint32_t>(4 + 4 * words.size()));
  for (uint32_t w : words) PutWord(out, w);
  return out;
}

inline struct sockaddr_in Address(const char* address, uint16_t port) {
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

// A TCP connection to address:port, from the address from when given.
inline int ConnectTo(const char* address, uint16_t port, const char* from = nullptr) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = Address(address, port), local = Address(from ? from : "0.0.0.0", 0);
  if (bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
      connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0) {
    close(s);
    return -1;
  }
  return s;
}

inline bool SendAll(int s, const std::string& bytes) {
  return send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Sends one datagram to address:port.
inline bool SendDatagram(const char* address, uint16_t port, const std::string& datagram) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = Address(address, port);
  bool ok = sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(datagram.size());
  close(s);
  return ok;
}

// Reads until the peer closes or n bytes arrived (n = 0: until close) or the
// time is up; closed tells whether the peer's close was seen.
inline std::string ReadFor(int s, int ms, size_t n = 0, bool* closed = nullptr) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  if (closed) *closed = false;
  for (;;) {
    if (n != 0 && got.size() >= n) return got;
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return got;
    struct pollfd pfd = {s, POLLIN, 0};
    if (poll(&pfd, 1, left) <= 0) return got;
    char buffer[65536];
    ssize_t r = recv(s, buffer, sizeof buffer, 0);
    if (r <= 0) {
      if (closed) *closed = true;
      return got;
    }
    got.append(buffer, static_cast<size_t>(r));
  }
}

// Reads one frame from a connection.
inline std::string ReadFrame(int s) {
  std::string frame = ReadFor(s, kGuardMs, 4);
  if (frame.size() < 4) return frame;
  const size_t length = GetWord(frame, 0);
  if (frame.size() < length) frame += ReadFor(s, kGuardMs, length - frame.size());
  return frame;
}

// One request/reply conversation as the service's clients hold it: send the
// bytes, close the sending side, read the reply until the server closes.
inline std::string Converse(uint16_t port, const std::string& bytes, bool* closed = nullptr) {
  int s = ConnectTo("127.0.0.1", port);
  if (s < 0) return "connect failed";
  SendAll(s, bytes);
  shutdown(s, SHUT_WR);
  std::string reply = ReadFor(s, kGuardMs, 0, closed);
  close(s);
  return reply;
}

// The number of open descriptors once it has come back to expected, or
// what it still is after a while: the server closes a connection's socket
// only after it has seen the peer's close, a moment after the peer's last
// call returned.
inline size_t SettledDescriptorCount(size_t expected) {
  size_t n = testenv::OpenDescriptors().size();
  for (auto t0 = Clock::now(); n != expected && MsSince(t0) < kGuardMs; n = testenv::OpenDescriptors().size())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return n;
}

// A TCP socket bound to an ephemeral port of address, and that port.
inline int BoundSocket(uint16_t* port, const char* address = "127.0.0.1") {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = Address(address, 0);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<struct sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return s;
}

// A raw TCP listener on 127.0.0.1 (ephemeral port) that runs a script on
// its first connection; a null script listens and never accepts. The object
// ends by telling a script that waits (stop) and joining it.
class RawPeer {
 public:
  typedef std::function<void(int, const std::atomic<bool>& stop)> Script;
  explicit RawPeer(Script script) {
    m_Listen = BoundSocket(&m_Port);
    listen(m_Listen, 4);
    if (!script) return;
    m_Thread = std::thread([this, script] {
      int s = accept(m_Listen, nullptr, nullptr);
      if (s < 0) return;
      script(s, m_bStop);
      close(s);
    });
  }
  ~RawPeer() {
    m_bStop = true;
    shutdown(m_Listen, SHUT_RDWR);
    if (m_Thread.joinable()) m_Thread.join();
    close(m_Listen);
  }
  uint16_t Port() const { return m_Port; }

 private:
  int m_Listen;
  uint16_t m_Port;
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
};

// Holds a connection open until the other end closes it (true) or the peer
// object ends (false); bytes that arrive meanwhile are dropped, or never read
// at all (read false: the other end's sends then stall).
inline bool HoldOpen(int s, const std::atomic<bool>& stop, bool read = true) {
  while (!stop) {
    struct pollfd pfd = {s, static_cast<short>(read ? POLLIN : 0), 0};
    char buffer[4096];
    if (poll(&pfd, 1, 5) > 0 && recv(s, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

// A local port where nothing listens.
inline uint16_t UnusedPort() {
  uint16_t port;
  close(BoundSocket(&port));
  return port;
}

// Records what the server socket tells it. By default it replies with the
// request's id word + 1 followed by the request's content words, and
// answers OnErrorDetected with false (keep serving). Set the public knobs
// before the server runs.
class CRecorder : public IServerEvent {
 public:
  struct Call {
    std::string content;
    std::string remote;
    std::string local;
  };
  int OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply, const std::string& remote,
                     const std::string& local) override {
    std::string content;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    request.GetContent(data, length);
    if (data) content.assign(reinterpret_cast<char*>(data), length);
    bool doThrow;
    int result;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Calls.push_back({content, remote, local});
      doThrow = m_bThrowOnce;
      result = m_iResultOnce;
      m_bThrowOnce = false;
      m_iResultOnce = 0;
      m_Cond.notify_all();
    }
    if (doThrow) throw std::runtime_error("listener failure");
    if (m_bWriteReply && content.size() >= 4) {
      reply.Write(GetWord(content, 0) + 1);
      for (size_t i = 4; i + 4 <= content.size(); i += 4) reply.Write(GetWord(content, i));
    }
    return result;
  }
  bool OnErrorDetected(int code) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors.push_back(code);
    m_Cond.notify_all();
    return false;
  }
  void OnAccept(const std::string&) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_iAccepts;
    m_Cond.notify_all();
  }

  bool WaitForCalls(size_t n) { return WaitFor([&] { return m_Calls.size() >= n; }); }
  bool WaitForErrors(size_t n) { return WaitFor([&] { return m_Errors.size() >= n; }); }
  bool WaitForAccepts(int n) { return WaitFor([&] { return m_iAccepts >= n; }); }
  std::vector<Call> Calls() { return Copy(m_Calls); }
  std::vector<int> Errors() { return Copy(m_Errors); }
  int Accepts() { return Copy(m_iAccepts); }

  bool m_bWriteReply = true;
  // The next call only: its result, or an exception. Guarded by m_Mutex
  // once the server runs.
  int m_iResultOnce = 0;
  bool m_bThrowOnce = false;

 private:
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(kGuardMs), done);
  }
  template <typename T>
  T Copy(const T& member) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return member;
  }
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  // Guarded by m_Mutex.
  std::vector<Call> m_Calls;
  std::vector<int> m_Errors;
  int m_iAccepts = 0;
};

// A server socket with its listener, shut down with the object.
template <typename Listener = CRecorder>
struct Server {
  explicit Server(bool reply = true) : socket(&recorder, reply) {}
  ~Server() { socket.Shutdown(); }
  int Start(int type = SOCKTYPE_TCP, bool keep = false, const char* address = "127.0.0.1", uint16_t port = 0) {
    socket.SetLocalAddress(address);
    return socket.Initialize(type, port, keep);
  }
  uint16_t Port() const { return socket.GetPort(); }
  Listener recorder;
  CServerSocket socket;
};

}  // namespace sockettest
