// vci-ident-tool's subcommand table. Each command family lives in a file of
// its own and registers itself with a static ToolCommandRegistration, so the
// dispatcher knows nothing about the families.
//
// A command gets the arguments after its own name. It returns the process exit
// code: 0 on success only; 2 for a usage error (after a line on standard
// error that names the mistake); 1 when the operation itself failed.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "TimeText.h"

typedef int (*ToolCommandFn)(const std::vector<std::string>& args);

struct ToolCommand {
  const char* name;     // "registry", "brand", ...
  const char* summary;  // one line for the overview
  const char* usage;    // full --help text of the family
  ToolCommandFn run;
};

class ToolCommandRegistration {
 public:
  explicit ToolCommandRegistration(const ToolCommand& command);
};

const std::vector<ToolCommand>& ToolCommands();

// Shared helpers for the families.
namespace tool {
// When args holds "--help" or "-h" anywhere: prints usage on standard
// output and is true.
bool PrintedHelp(const std::vector<std::string>& args, const char* usage);
// Prints "vci-ident-tool: <message>" and where the family's usage is, as one
// line on standard error; returns 2.
int UsageError(const ToolCommand& command, const std::string& message);
// Prints "vci-ident-tool: <message>" to standard error; returns 1.
int Fail(const std::string& message);
// Reads a whole file, or standard input for "-". False with a message in err.
bool ReadInput(const std::string& path, std::string& data, std::string& err);
// ReadInput for archive bytes, which may also be given as hexadecimal text
// (blanks allowed between bytes); the text is turned into the bytes.
bool ReadArchiveInput(const std::string& path, std::string& data, std::string& err);
// Parses hexadecimal text (blanks allowed between bytes). False on an odd
// digit count or a non-hex character.
bool ParseHex(const std::string& text, std::string& bytes);
std::string ToHex(const void* data, size_t length, bool upper = true);
// Prints a JSON document on standard output: indented, or as one line that
// is flushed at once (a stream of events). Text that is no UTF-8 (names and
// labels come from files and peers) is replaced, never an abort.
void PrintJson(const nlohmann::ordered_json& doc, bool oneLine = false);
// Parses an unsigned number with automatic base (0x.., 0.., decimal).
bool ParseNumber(const std::string& text, unsigned long long& value);
}  // namespace tool
