// The simulated Bluetooth stack's own wire. The library libTosBtApi.so, the
// companion program TosBtPcs and the simulator vci-btsim meet on one abstract
// Unix socket (SOCK_SEQPACKET) per registry file,
// "vci-btsim/<absolute registry file path>", so that the stacks of different
// registries (tests) never meet, as the service's windows do not. Abstract
// names belong to the network namespace: a stack and its users share one.
//
// Each packet is one JSON object:
//   request  {"id": N, "op": NAME, ...}      answered by {"id": N, "status": S, ...}
//   event    {"req": N, "code": C, ...}      a notification of the request N
// S is a TOSBT_STATUS_* word. The operations and their fields are listed with
// CBtSimulator::HandleRequest.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace btsim {

// The socket name in the scope of $VCI_IDENT_REGISTRY (default
// /etc/vci-ident/registry.reg); a path too long for a socket address is
// replaced by its hash.
std::string SocketName();

// A listening socket under the name (or, datagram, a bound one); -1 when
// the name is taken or no socket can be made (errno tells).
int Listen(const std::string& name, bool datagram = false);
// A connection to the socket of that name; -1 when nothing listens.
int Connect(const std::string& name);

// One packet each. Receive: 1 with a packet, 0 when the peer closed (or
// sent something that is not a JSON object), -1 on error or when nothing
// came within timeoutMs (-1: no limit).
bool Send(int fd, const nlohmann::json& packet);
int Receive(int fd, nlohmann::json& packet, int timeoutMs = -1);

// "%02x:%02x:%02x:%02x:%02x:%02x" over the 6 bytes, and back: exactly six
// pairs of hexadecimal digits (either case) separated by ":".
std::string AddressText(const uint8_t* bytes);
bool ParseAddress(const std::string& text, uint8_t* bytes);

}  // namespace btsim
