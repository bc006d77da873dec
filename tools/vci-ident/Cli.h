// What the commands of vci-ident share: the options before the command, the
// exit codes (0 success only, 2 usage, 1 anything else), the one-line error
// messages, and the help texts, laid out as a manual page is.
#pragma once

#include <string>
#include <vector>

#include "vci-ident/IdentClient.h"

struct Command {
  const char* name;
  const char* summary;      // the NAME line after "vci-ident NAME - "
  const char* synopsis;     // one line per form, each from "vci-ident"
  const char* description;  // paragraphs, indented by two blanks
  const char* options;      // "  --option  what it does" lines; may be ""
  int (*run)(const Command& command, const vciident::ClientOptions& options, const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

namespace cli {

// The command's --help: NAME, SYNOPSIS, DESCRIPTION, OPTIONS.
std::string HelpText(const Command& command);
// "vci-ident: <message> (see vci-ident COMMAND --help)" on standard error; 2.
int UsageError(const Command& command, const std::string& message);
// "vci-ident: <message>" on standard error; 1.
int Fail(const std::string& message);
// Splits the command's arguments into --json and the others; an unknown
// option is a usage error (returns 2, else 0).
int ParseArgs(const Command& command, const std::vector<std::string>& args, size_t operands, bool& json,
              std::vector<std::string>& rest, const std::vector<std::string>& flags = {});
// Registers to stay (watch, bt), telling a waiting user on the terminal why
// a service that has just started takes two seconds. The registration
// states the wish for the service's trace file only with --persist-log. On
// failure prints the one-line error and returns 1 (else 0).
int Connect(vciident::CIdentClient& client, const vciident::ClientOptions& options);
// One look at the service (list, show, info), which leaves its settings as
// they are; the same waiting mark. The library's result code.
int Query(const vciident::ClientOptions& options, vciident::ServiceInfo& service, std::vector<vciident::VciInfo>& table,
          std::vector<vciident::VciBinding>& bindings);
// The line that says why the service did not answer, with its address.
int FailNoService(const vciident::ClientOptions& options, int result);
bool ParseSerial(const std::string& text, uint32_t& serial);

}  // namespace cli
