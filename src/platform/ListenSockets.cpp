#include "platform/ListenSockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

namespace {

const int kFirstListenFd = 3;

// A whole decimal number in [0, INT_MAX]; -1 otherwise.
long Number(const char* text) {
  if (!text || !*text) return -1;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && n >= 0 && n <= INT_MAX ? n : -1;
}

bool IsListeningTcp4(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) != 0 || !value) return false;
  length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) != 0 || value != SOCK_STREAM) return false;
  struct sockaddr_storage local {};
  length = sizeof local;
  return getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length) == 0 && local.ss_family == AF_INET;
}

}  // namespace

int TakeListenSocket() {
  const long pid = Number(getenv("LISTEN_PID"));
  const long count = Number(getenv("LISTEN_FDS"));
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (pid != static_cast<long>(getpid()) || count <= 0 || count > INT_MAX - kFirstListenFd) return -1;
  int taken = -1;
  for (int fd = kFirstListenFd; fd < kFirstListenFd + count; ++fd) {
    if (taken < 0 && IsListeningTcp4(fd)) {
      taken = fd;
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    } else {
      close(fd);
    }
  }
  return taken;
}

}  // namespace platform
