#include "platform/WaitReady.h"

#include <cerrno>

namespace platform {

int WaitReady(int fd, short events, int wakeFd, int timeoutMs, short& revents, bool& woke) {
  struct pollfd pfd[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  int ready;
  do {
    ready = poll(pfd, 2, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  revents = ready > 0 ? pfd[0].revents : 0;
  woke = ready > 0 && pfd[1].revents != 0;
  return ready;
}

}  // namespace platform
