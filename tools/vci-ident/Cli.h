// What the commands of vci-ident share: the options before the command, the
// exit codes (0 success only, 2 usage, 1 anything else), and the one-line
// error messages.
#pragma once

#include <string>
#include <vector>

#include "vci-ident/IdentClient.h"

struct Command {
  const char* name;
  const char* summary;
  const char* usage;  // the command's --help text
  int (*run)(const Command& command, const vciident::ClientOptions& options, const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

namespace cli {

// "vci-ident: <message> (see vci-ident COMMAND --help)" on standard error; 2.
int UsageError(const Command& command, const std::string& message);
// "vci-ident: <message>" on standard error; 1.
int Fail(const std::string& message);
// Splits the command's arguments into --json and the others; an unknown
// option is a usage error (returns 2, else 0).
int ParseArgs(const Command& command, const std::vector<std::string>& args, size_t operands, bool& json,
              std::vector<std::string>& rest, const std::vector<std::string>& flags = {});
// Connects, telling a waiting user on the terminal why a service that has
// just started takes two seconds; on failure prints the one-line error and
// returns 1 (else 0).
int Connect(vciident::CIdentClient& client, const vciident::ClientOptions& options, vciident::ServiceInfo* service);
// Local time with milliseconds: 2026-12-06 15:03:07.125.
std::string TimeText();
bool ParseSerial(const std::string& text, uint32_t& serial);

}  // namespace cli
