#include "platform/WindowPublisher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <boost/filesystem.hpp>

#include "platform/Registry.h"

namespace {

const uint32_t kMagic = 0x314D5756;  // "VWM1"
enum : uint32_t { KIND_POST = 1, KIND_SEND = 2 };
// A post is queued by the listener at once; this only bounds the wait on a
// process that has been stopped.
const int kPostAnswerMs = 5000;
// A peer that connects and says nothing would hold up every other caller.
const int kRequestMs = 1000;

struct CRequest {
  uint32_t magic;
  uint32_t kind;
  uint32_t message;  // 0 when name is given
  uint32_t reserved;
  uint64_t wParam;
  int64_t lParam;
  char name[256];  // a registered message's name, NUL-terminated; "" otherwise
};
struct CAnswer {
  int32_t ok;
  int32_t reserved;
  int64_t result;
};

bool MakeAddress(const std::string& name, sockaddr_un& addr, socklen_t& len) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof addr.sun_path) return false;
  memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

int Connect(const std::string& name) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(name, addr, len)) return -1;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do r = connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
  while (r != 0 && errno == EINTR);
  if (r != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits for fd to become readable, or for wakeFd (when >= 0). True for fd.
bool WaitReadable(int fd, int wakeFd, int timeoutMs) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int r;
  do r = poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  return r > 0 && p[0].revents != 0 && (wakeFd < 0 || p[1].revents == 0);
}

void Answer(int fd, bool ok, LRESULT result) {
  CAnswer a = {ok ? 1 : 0, 0, static_cast<int64_t>(result)};
  send(fd, &a, sizeof a, MSG_NOSIGNAL | MSG_DONTWAIT);
  close(fd);
}

}  // namespace

std::string CWindowPublisher::NameFor(const std::string& className) {
  std::string scope = boost::filesystem::absolute(platform::RegistryFilePath()).lexically_normal().string();
  std::string name = "vci-ident/" + className + "/" + scope;
  if (name.size() + 1 <= sizeof(sockaddr_un::sun_path)) return name;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : scope) hash = (hash ^ c) * 1099511628211ull;
  char text[20];
  snprintf(text, sizeof text, "#%016llx", static_cast<unsigned long long>(hash));
  return "vci-ident/" + className + "/" + text;
}

bool CWindowPublisher::MayCross(UINT message) {
  return message == WM_CLOSE || message == WM_QUERYENDSESSION || message == WM_ENDSESSION ||
         message == WM_POWERBROADCAST;
}

std::unique_ptr<CWindowPublisher> CWindowPublisher::Publish(const std::string& name, CTarget target) {
  sockaddr_un addr;
  socklen_t len;
  if (!MakeAddress(name, addr, len)) return nullptr;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return nullptr;
  }
  int wake = eventfd(0, EFD_CLOEXEC);
  if (wake < 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<CWindowPublisher>(new CWindowPublisher(fd, wake, std::move(target)));
}

CWindowPublisher::CWindowPublisher(int listenFd, int wakeFd, CTarget target)
    : m_ListenFd(listenFd), m_WakeFd(wakeFd), m_Target(std::move(target)) {
  m_Listener = std::thread(&CWindowPublisher::Listen, this);
}

CWindowPublisher::~CWindowPublisher() {
  uint64_t one = 1;
  if (write(m_WakeFd, &one, sizeof one) != sizeof one) perror("CWindowPublisher: eventfd");
  m_Listener.join();
  close(m_ListenFd);
  close(m_WakeFd);
}

void CWindowPublisher::Listen() {
  for (;;) {
    pollfd p[2] = {{m_ListenFd, POLLIN, 0}, {m_WakeFd, POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || p[1].revents != 0) return;
    int fd = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) Serve(fd);
  }
}

void CWindowPublisher::Serve(int fd) {
  // Only processes of our own user (or root) may close or notify the window,
  // as only they could on one desktop.
  ucred peer;
  socklen_t peerLen = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen) != 0 || (peer.uid != geteuid() && peer.uid != 0)) {
    close(fd);
    return;
  }
  CRequest req;
  if (!WaitReadable(fd, m_WakeFd, kRequestMs) || recv(fd, &req, sizeof req, 0) != sizeof req || req.magic != kMagic ||
      (req.kind != KIND_POST && req.kind != KIND_SEND)) {
    close(fd);  // Also the probe of Exists, which sends nothing.
    return;
  }
  req.name[sizeof req.name - 1] = '\0';
  UINT message = req.name[0] ? RegisterWindowMessage(req.name) : MayCross(req.message) ? req.message : 0;
  WPARAM wParam = static_cast<WPARAM>(req.wParam);
  LPARAM lParam = static_cast<LPARAM>(req.lParam);
  if (message == 0) return Answer(fd, false, 0);
  if (req.kind == KIND_POST) return Answer(fd, m_Target.post(message, wParam, lParam), 0);
  if (!m_Target.send(message, wParam, lParam, [fd](LRESULT result) { Answer(fd, true, result); }))
    Answer(fd, false, 0);
}

bool CWindowPublisher::Exists(const std::string& name) {
  int fd = Connect(name);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool CWindowPublisher::Deliver(const std::string& name, bool send, UINT message, const std::string& messageName,
                               WPARAM wParam, LPARAM lParam, LRESULT& result) {
  CRequest req;
  memset(&req, 0, sizeof req);
  if (messageName.size() >= sizeof req.name) return false;
  req.magic = kMagic;
  req.kind = send ? KIND_SEND : KIND_POST;
  req.message = messageName.empty() ? message : 0;
  req.wParam = static_cast<uint64_t>(wParam);
  req.lParam = static_cast<int64_t>(lParam);
  memcpy(req.name, messageName.data(), messageName.size());
  int fd = Connect(name);
  if (fd < 0) return false;
  CAnswer a;
  bool ok = ::send(fd, &req, sizeof req, MSG_NOSIGNAL) == sizeof req &&
            WaitReadable(fd, -1, send ? -1 : kPostAnswerMs) && recv(fd, &a, sizeof a, 0) == sizeof a && a.ok;
  close(fd);
  if (ok) result = static_cast<LRESULT>(a.result);
  return ok;
}
