#include "BtSimWire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <boost/filesystem.hpp>

#include "JsonText.h"

namespace btsim {

namespace {

socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

std::string SocketName() {
  const char* env = getenv("VCI_IDENT_REGISTRY");
  std::string scope =
      boost::filesystem::absolute(env && *env ? env : "/etc/vci-ident/registry.reg").lexically_normal().string();
  std::string name = "vci-btsim/" + scope;
  if (name.size() + 1 <= sizeof(sockaddr_un::sun_path)) return name;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : scope) hash = (hash ^ c) * 1099511628211ull;
  char text[20];
  snprintf(text, sizeof text, "#%016llx", static_cast<unsigned long long>(hash));
  return std::string("vci-btsim/") + text;
}

int Listen(const std::string& name, bool datagram) {
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  int fd = socket(AF_UNIX, (datagram ? SOCK_DGRAM : SOCK_SEQPACKET) | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || (!datagram && listen(fd, 16) != 0)) {
    int code = errno;
    close(fd);
    errno = code;
    return -1;
  }
  return fd;
}

int Connect(const std::string& name) {
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  // Close-on-exec: a program that the caller starts (the service starts the
  // companion program) must not hold the caller's connection open.
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Send(int fd, const nlohmann::json& packet) {
  const std::string text = JsonText(packet);
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

int Receive(int fd, nlohmann::json& packet, int timeoutMs) {
  pollfd p = {fd, POLLIN, 0};
  int ready;
  while ((ready = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready <= 0) return -1;
  // The packet's size first, so that a large device list arrives whole.
  ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (size <= 0) return size == 0 ? 0 : -1;
  std::vector<char> text(static_cast<size_t>(size));
  if (recv(fd, text.data(), text.size(), 0) != size) return -1;
  packet = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  return packet.is_object() ? 1 : 0;
}

std::string AddressText(const uint8_t* bytes) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
           bytes[5]);
  return text;
}

bool ParseAddress(const std::string& text, uint8_t* bytes) {
  if (text.size() != 17) return false;
  uint8_t parsed[6];
  for (size_t i = 0; i < 6; ++i) {
    const char* pair = text.c_str() + 3 * i;
    if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])) ||
        (i < 5 && pair[2] != ':'))
      return false;
    parsed[i] = static_cast<uint8_t>(strtoul(std::string(pair, 2).c_str(), nullptr, 16));
  }
  memcpy(bytes, parsed, 6);
  return true;
}

}  // namespace btsim
