// The text of a JSON document as the tools print or send it. Their texts
// come from the LAN and from peers (a VCI's session texts, names, a
// Bluetooth device's name) and may hold any byte, and the JSON writer throws
// on bytes that are not UTF-8: one datagram would end every command that
// prints the VCI it came from. Every JSON writer of the tools goes through
// here, and such bytes show as U+FFFD.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// indent < 0: one line.
template <typename Json>
std::string JsonText(const Json& document, int indent = -1) {
  return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}
