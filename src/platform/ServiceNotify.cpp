#include "platform/ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace platform {

bool HasServiceManager() { return getenv("NOTIFY_SOCKET") != nullptr; }

bool NotifyServiceManager(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (!path || (path[0] != '/' && path[0] != '@') || strlen(path) >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path, strlen(path));
  if (path[0] == '@') addr.sun_path[0] = '\0';
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  size_t n = strlen(state);
  bool ok = sendto(fd, state, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len) == static_cast<ssize_t>(n);
  close(fd);
  return ok;
}

}  // namespace platform
