// Helpers of the socket tests: frames built by hand from the wire layout,
// raw POSIX peers, and a listener that records what a server socket hands it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>
#include <cstdint>
#include <dirent.h>
#include <mutex>
#include <string>
#include <vector>

#include "serialize/ArchiveBuffer.h"
#include "transport/ServerEvent.h"

namespace sockettest {

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

inline int ConnectTo(const char* address, uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address, &to.sin_addr);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0) {
    close(s);
    return -1;
  }
  return s;
}

inline bool SendAll(int s, const std::string& bytes) {
  return send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads until the peer closes or n bytes arrived (n = 0: until close) or the
// time is up; closed tells whether the peer's close was seen.
inline std::string ReadFor(int s, int ms, size_t n = 0, bool* closed = nullptr) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (closed) *closed = false;
  for (;;) {
    if (n != 0 && got.size() >= n) return got;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return got;
    struct pollfd pfd = {s, POLLIN, 0};
    if (poll(&pfd, 1, left) <= 0) return got;
    char buffer[4096];
    ssize_t r = recv(s, buffer, sizeof buffer, 0);
    if (r <= 0) {
      if (closed) *closed = true;
      return got;
    }
    got.append(buffer, static_cast<size_t>(r));
  }
}

// One request/reply conversation as the service's clients hold it: send the
// frame, close the sending side, read the reply until the server closes.
inline std::string Converse(uint16_t port, const std::string& frame, bool* closed = nullptr) {
  int s = ConnectTo("127.0.0.1", port);
  if (s < 0) return "connect failed";
  SendAll(s, frame);
  shutdown(s, SHUT_WR);
  std::string reply = ReadFor(s, 8000, 0, closed);
  close(s);
  return reply;
}

// Entries of a /proc folder: open descriptors (fd) or threads (task).
inline int CountEntries(const char* folder) {
  int n = 0;
  DIR* d = opendir(folder);
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// The entry count of folder once it has come back to expected, or what it
// still is after a second: the server closes a connection's socket only after
// it has seen the peer's close, a moment after the peer's last call returned.
inline int SettledCount(const char* folder, int expected) {
  int n = CountEntries(folder);
  for (int i = 0; i < 100 && n != expected; ++i) {
    usleep(10000);
    n = CountEntries(folder);
  }
  return n;
}

// A raw TCP listener on 127.0.0.1 (ephemeral port) that runs a script on
// its first connection. stop() tells a script that waits to end.
class RawPeer {
 public:
  explicit RawPeer(std::function<void(int, const std::atomic<bool>& stop)> script) {
    m_Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    bind(m_Listen, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(m_Listen, reinterpret_cast<struct sockaddr*>(&a), &length);
    m_Port = ntohs(a.sin_port);
    listen(m_Listen, 4);
    if (!script) return;  // listens, never accepts
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

// Holds a connection open (reading nothing) until the peer object ends.
inline void HoldOpen(const std::atomic<bool>& stop) {
  for (int i = 0; i < 3000 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Reads one frame from a connection.
inline std::string ReadFrame(int s) {
  std::string frame = ReadFor(s, 5000, 4);
  if (frame.size() < 4) return frame;
  const size_t length = GetWord(frame, 0);
  if (frame.size() < length) frame += ReadFor(s, 5000, length - frame.size());
  return frame;
}

// A local port where nothing listens.
inline uint16_t UnusedPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<struct sockaddr*>(&a), &length);
  close(s);
  return ntohs(a.sin_port);
}

// Records what the server socket tells it. By default it replies with the
// request's id word + 1 followed by the request's content words, and
// answers OnErrorDetected with false (keep serving).
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
    int result;
    bool doThrow;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Calls.push_back({content, remote, local});
      result = m_iResult;
      doThrow = m_bThrowOnce;
      m_bThrowOnce = false;
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
    return m_bTerminateOnError;
  }
  void OnAccept(const std::string&) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_iAccepts;
  }

  bool WaitForCalls(size_t n, int ms) { return WaitFor(ms, [&] { return m_Calls.size() >= n; }); }
  bool WaitForErrors(size_t n, int ms) { return WaitFor(ms, [&] { return m_Errors.size() >= n; }); }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Calls;
  }
  std::vector<int> Errors() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Errors;
  }
  int Accepts() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_iAccepts;
  }

  bool m_bWriteReply = true;
  bool m_bTerminateOnError = false;
  int m_iResult = 0;
  bool m_bThrowOnce = false;

 private:
  bool WaitFor(int ms, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cond.wait_for(lock, std::chrono::milliseconds(ms), done);
  }
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
  std::vector<Call> m_Calls;
  std::vector<int> m_Errors;
  int m_iAccepts = 0;
};

}  // namespace sockettest
