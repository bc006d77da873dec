// Result codes of the client library and the words for them. Every operation
// returns 0 on success; otherwise one of the service's codes passed on as it
// answered (-1 for its generic failure, a Bluetooth code), a socket code
// (9216 to 9266 for the control connection, 8705 to 8736 for the event port),
// or one of the library's own codes below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vci-ident/Export.h"
#include "vci-ident/VciInfo.h"

namespace vciident {

enum : int {
  RESULT_OK = 0,
  RESULT_FAILED = -1,
  // The control port refuses the connection: the service is not running.
  RESULT_REFUSED = 9237,
  RESULT_NOT_REGISTERED = 40001,
  RESULT_ALREADY_REGISTERED = 40002,
  RESULT_BAD_REPLY = 40003,
  RESULT_BAD_ARGUMENT = 40004,
  RESULT_IN_CALLBACK = 40005,
  RESULT_START_FAILED = 40006,
  RESULT_EVENTS_CLOSED = 40007,
  // The system refused the library memory or a thread.
  RESULT_NO_RESOURCES = 40008,
};

// Bluetooth commands.
enum : uint32_t { BT_CONNECT = 1, BT_DISCONNECT = 2, BT_SCAN = 3, BT_CHECK_CONNECT_STATE = 4 };

// Event codes of errors the service reports (any other code is a Bluetooth
// error).
enum : uint32_t { EVENT_IF_ERROR_1 = 0x8004, EVENT_IF_ERROR_4 = 0x8007 };

// One line for a result code, e.g. "the service does not answer (its control
// port refuses the connection)".
VCI_IDENT_API std::string ResultText(int result);
// An error event's code in words.
VCI_IDENT_API std::string EventErrorText(uint32_t code);
// "connect", "disconnect", "scan", "check"; "" for another code.
VCI_IDENT_API std::string BluetoothCommandName(uint32_t command);
// A Bluetooth command's result in words, e.g. "connected".
VCI_IDENT_API std::string BluetoothResultText(uint32_t command, int result);
// The same, with the service's -1 told apart as far as the table that the
// application held when it asked allows: "Bluetooth is disabled", "no such
// VCI found over Bluetooth", "another VCI is connected", "the connection
// belongs to another application", "the connect failed"; where the table
// cannot tell two causes apart, the text names both.
VCI_IDENT_API std::string BluetoothResultText(uint32_t command, int result, uint32_t serial,
                                              const std::vector<VciInfo>& table);

// 0x00010000 -> "1.0.0": the parts from the highest byte that is not zero
// down to the lowest ("0" for 0).
VCI_IDENT_API std::string VersionText(uint32_t versionNumber);
// "2026-12-06": the year nearest to currentYear that has the date's low year
// byte; "unknown" for the value of an unreadable compile date. The overload
// without a year takes this year.
VCI_IDENT_API std::string BuildDateText(uint32_t buildDate, int currentYear);
VCI_IDENT_API std::string BuildDateText(uint32_t buildDate);
// "Ethernet", "USB", "Wireless", "Local", "Bluetooth" for one kind bit.
VCI_IDENT_API std::string KindName(uint32_t kind);
// The names of the bits set, joined with "+"; "none" for 0.
VCI_IDENT_API std::string KindsText(uint32_t kinds);
// "free", "in use", "recovery"; the number for any other state.
VCI_IDENT_API std::string ModuleStateName(uint32_t state);
// The product type's name ("KIVO VCI" for 1); the number for a type without
// one (0: not known).
VCI_IDENT_API std::string ModuleTypeName(uint32_t type);
// The VCI's product version in the dotted form the VCIs report it in: a
// VCI known only over Bluetooth reports its firmware word (three parts in
// the upper three bytes), a legacy announcement its version number (one
// byte per part, as VersionText), both as decimal text; "" when not known.
VCI_IDENT_API std::string ProductVersionText(const VciInfo& vci);

}  // namespace vciident
