#include "vci-ident/IdentResult.h"
#include "vci-ident/VciInfo.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "host/Brand.h"

namespace vciident {

namespace {

// The build date the service reports when its compile date was unreadable.
const uint32_t kUnknownBuildDate = 27071500;

const std::map<int, const char*>& ResultTexts() {
  static const std::map<int, const char*> texts = {
      {RESULT_OK, "success"},
      {RESULT_FAILED, "the service reports a failure"},
      {RESULT_NOT_REGISTERED, "not registered with the service"},
      {RESULT_ALREADY_REGISTERED, "registered already"},
      {RESULT_BAD_REPLY, "the service's reply cannot be read"},
      {RESULT_BAD_ARGUMENT, "invalid argument"},
      {RESULT_IN_CALLBACK, "not allowed from a listener call"},
      {RESULT_START_FAILED, "the service program cannot be started"},
      {RESULT_EVENTS_CLOSED, "the service closed the event connection"},
      {RESULT_NO_RESOURCES, "out of memory or threads"},
      {9216, "no socket can be created"},
      {9231, "the service's address is not an address of this machine"},
      {9237, "the service does not answer (its control port refuses the connection)"},
      {9240, "the service does not answer (connecting timed out)"},
      {9251, "the service did not reply in time"},
      {9254, "the connection to the service failed while waiting for its reply"},
      {9255, "the service closed the connection without replying"},
      {9257, "the connection to the service failed in the middle of its reply"},
      {9258, "the service closed the connection in the middle of its reply"},
      {9260, "the service does not take the request"},
      {8710, "the event port cannot be opened (address or port in use, or not of this machine)"},
      {20514, "interface monitor error (no listener)"},
      {20515, "the network interfaces cannot be listed"},
      {20531, "no Bluetooth stack on this PC"},
      {20532, "pairing with the VCI failed"},
  };
  return texts;
}

}  // namespace

std::string ResultText(int result) {
  const auto it = ResultTexts().find(result);
  if (it != ResultTexts().end()) return it->second;
  if (result >= 9216 && result <= 9266) return "connection to the service failed (socket error " + std::to_string(result) + ")";
  if (result >= 8705 && result <= 8736) return "event port error " + std::to_string(result);
  return "error " + std::to_string(result);
}

std::string EventErrorText(uint32_t code) {
  if (code >= EVENT_IF_ERROR_1 && code <= EVENT_IF_ERROR_4)
    return "network interface monitor error " + std::to_string(code - EVENT_IF_ERROR_1 + 1);
  if (code == 0x1000) return "Bluetooth scanning keeps failing";
  const auto it = ResultTexts().find(static_cast<int>(code));
  if (it != ResultTexts().end() && code != 0) return std::string("Bluetooth error: ") + it->second;
  return "Bluetooth error " + std::to_string(code);
}

std::string BluetoothCommandName(uint32_t command) {
  switch (command) {
    case BT_CONNECT: return "connect";
    case BT_DISCONNECT: return "disconnect";
    case BT_SCAN: return "scan";
    case BT_CHECK_CONNECT_STATE: return "check";
    default: return "";
  }
}

std::string BluetoothResultText(uint32_t command, int result) {
  if (result == 0) {
    switch (command) {
      case BT_CONNECT: return "connected";
      case BT_DISCONNECT: return "disconnected";
      case BT_SCAN: return "scanning anew (every Bluetooth connection dropped)";
      default: return "connected";
    }
  }
  if (result == RESULT_FAILED) {
    if (command == BT_CHECK_CONNECT_STATE) return "not connected (or Bluetooth is disabled, or the VCI is not known to Bluetooth)";
    return "failed: Bluetooth is disabled, the VCI is not known to Bluetooth, another VCI is in use, or the " +
           BluetoothCommandName(command) + " did not succeed";
  }
  return "failed: " + ResultText(result);
}

std::string BluetoothResultText(uint32_t command, int result, uint32_t serial, const std::vector<VciInfo>& table) {
  if (result != RESULT_FAILED || command < BT_CONNECT || command > BT_CHECK_CONNECT_STATE)
    return BluetoothResultText(command, result);
  // The service fails a scan only when its Bluetooth is off (or has no
  // stack); the other commands fail alike for a VCI it does not know.
  if (command == BT_SCAN) return "Bluetooth is disabled";
  const VciInfo* vci = nullptr;
  const VciInfo* connected = nullptr;  // another VCI on the Bluetooth network
  bool anyKnown = false;
  for (const VciInfo& v : table) {
    if (v.serial == serial)
      vci = &v;
    else if ((v.kinds & KIND_BLUETOOTH) != 0)
      connected = &v;
    anyKnown = anyKnown || v.bluetooth;
  }
  // A connect leaves only the connected VCI in the service's Bluetooth list,
  // so that this one may be unknown to it until the next scan.
  if (command == BT_CONNECT && connected != nullptr)
    return "another VCI is connected (" + std::to_string(connected->serial) + ")";
  if (vci == nullptr || !vci->bluetooth)
    return anyKnown ? "no such VCI found over Bluetooth"
                    : "Bluetooth is disabled, or no VCI has been found over Bluetooth yet (the service answers both "
                      "alike)";
  switch (command) {
    case BT_CONNECT: return "the connect failed";
    case BT_DISCONNECT:
      // Only the registrations that connected it may disconnect it.
      return (vci->kinds & KIND_BLUETOOTH) != 0 ? "the connection belongs to another application"
                                                 : "not connected, or the connection belongs to another application";
    default: return "not connected";
  }
}

std::string VersionText(uint32_t versionNumber) {
  int top = 3;
  while (top > 0 && ((versionNumber >> (8 * top)) & 0xFF) == 0) --top;
  std::string text;
  for (int i = top; i >= 0; --i) {
    text += std::to_string((versionNumber >> (8 * i)) & 0xFF);
    if (i > 0) text += '.';
  }
  return text;
}

std::string BuildDateText(uint32_t buildDate, int currentYear) {
  if (buildDate == kUnknownBuildDate) return "unknown";
  const int low = static_cast<int>(buildDate >> 24);
  // Of the years with that low byte, the nearest to this year.
  int year = currentYear - (((currentYear - low) % 256) + 256) % 256;
  if (currentYear - year > 128) year += 256;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, (buildDate >> 16) & 0xFF, (buildDate >> 8) & 0xFF);
  return text;
}

std::string BuildDateText(uint32_t buildDate) {
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return BuildDateText(buildDate, local.tm_year + 1900);
}

std::string KindName(uint32_t kind) {
  switch (kind) {
    case KIND_ETHERNET: return "Ethernet";
    case KIND_USB: return "USB";
    case KIND_WIRELESS: return "Wireless";
    case KIND_LOCAL: return "Local";
    case KIND_BLUETOOTH: return "Bluetooth";
    default: return "kind " + std::to_string(kind);
  }
}

std::string KindsText(uint32_t kinds) {
  std::string text;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((kinds & bit) == 0) continue;
    if (!text.empty()) text += '+';
    text += KindName(bit);
  }
  return text.empty() ? "none" : text;
}

std::string ModuleStateName(uint32_t state) {
  switch (state) {
    case MODULE_STATE_FREE: return "free";
    case MODULE_STATE_IN_USE: return "in use";
    case MODULE_STATE_RECOVERY: return "recovery";
    default: return std::to_string(state);
  }
}

std::string ModuleTypeName(uint32_t type) {
  // The product types are numbered as the brands are: a legacy or recovery
  // announcement without a type gets the installation's brand number.
  const char* name = type != 0 ? GetBrandDisplayName(type) : nullptr;
  return name != nullptr ? name : std::to_string(type);
}

std::string ProductVersionText(const VciInfo& vci) {
  const std::string& text = vci.productVersion;
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return text;
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (number > 0xFFFFFFFFull) return text;
  const uint32_t word = static_cast<uint32_t>(number);
  if (vci.kinds == 0 && vci.bluetooth) {
    // Known only over Bluetooth: the firmware word of its device name.
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u", word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF);
    return dotted;
  }
  if (vci.legacy) return word == 0 ? std::string() : VersionText(word);
  return text;
}

}  // namespace vciident
