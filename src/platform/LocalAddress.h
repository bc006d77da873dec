// Whether an address text names an IPv4 address of this machine (loopback
// included), for settings and options that bind to one: a foreign or
// misspelt one is refused at once, with why, instead of after a server
// socket's bind attempts or, worse, by listening everywhere.
#pragma once

#include <string>

namespace platform {

// False with why: "not an IPv4 address", "not an address of this machine". True also when the system cannot be
// asked: the bind that follows reports it then.
bool IsLocalAddress(const std::string& address, std::string& why);

}  // namespace platform
