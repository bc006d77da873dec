#include "platform/LocalAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool IsLocalAddress(const std::string& address, std::string& why) {
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
    why = "not an IPv4 address";
    return false;
  }
  // A datagram socket bound to the address on a port the system chooses:
  // the bind fails with EADDRNOTAVAIL exactly when no interface has it.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  const int code = bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  close(fd);
  if (code != EADDRNOTAVAIL) return true;
  why = "not an address of this machine";
  return false;
}

}  // namespace platform
