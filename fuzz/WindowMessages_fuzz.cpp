// The requests that other processes send to a published window: the input
// is one packet as it arrives on the window's socket. A request that is not
// well formed is closed without an answer; a well-formed one is answered
// with one 16-byte packet, and only a message allowed to cross or a
// registered message's name ever reaches the window, a send through its
// send path, a post through its post path.
#include "FuzzSupport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "platform/WindowPublisher.h"

namespace {

struct Delivered {
  int posts = 0;
  int sends = 0;
  UINT message = 0;
};
Delivered g_Delivered;

bool Reachable(UINT message) { return CWindowPublisher::MayCross(message) || message >= WM_REGISTERED_FIRST; }

CWindowPublisher& Window(std::string& name) {
  static std::string published = "vci-fuzz/window/" + std::to_string(getpid());
  static std::unique_ptr<CWindowPublisher> window = [] {
    CWindowPublisher::CTarget target;
    target.post = [](UINT message, WPARAM, LPARAM) {
      ++g_Delivered.posts;
      g_Delivered.message = message;
      return true;
    };
    target.send = [](UINT message, WPARAM, LPARAM, CMessageQueue::Completion done) {
      ++g_Delivered.sends;
      g_Delivered.message = message;
      done(42);
      return true;
    };
    return CWindowPublisher::Publish(published, target);
  }();
  FUZZ_CHECK(window != nullptr);
  name = published;
  return *window;
}

int Connect(const std::string& name) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string name;
  Window(name);
  g_Delivered = Delivered();
  const int fd = Connect(name);
  send(fd, data, size, MSG_NOSIGNAL);
  // The answer, or the close of a refused request; the listener's own
  // request wait bounds this. libFuzzer's timer signal may cut the waits.
  pollfd pfd = {fd, POLLIN, 0};
  int ready;
  do ready = poll(&pfd, 1, 10000);
  while (ready < 0 && errno == EINTR);
  FUZZ_CHECK(ready == 1);
  uint8_t answer[64];
  ssize_t n;
  do n = recv(fd, answer, sizeof answer, 0);
  while (n < 0 && errno == EINTR);
  close(fd);
  FUZZ_CHECK(n == 0 || n == 16 || n < 0);
  FUZZ_CHECK(g_Delivered.posts + g_Delivered.sends <= 1);
  if (n != 16) FUZZ_CHECK(g_Delivered.posts + g_Delivered.sends == 0);
  if (g_Delivered.posts + g_Delivered.sends == 1) FUZZ_CHECK(Reachable(g_Delivered.message));
  int32_t ok;
  int64_t result;
  if (n == 16) {
    std::memcpy(&ok, answer, 4);
    std::memcpy(&result, answer + 8, 8);
    if (g_Delivered.sends == 1) FUZZ_CHECK(ok == 1 && result == 42);
    if (g_Delivered.posts == 1) FUZZ_CHECK(ok == 1);
  }
  return 0;
}
