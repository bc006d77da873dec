// object-name ID: the log name of an object identifier.
#include <iostream>

#include "ToolCommand.h"
#include "serialize/ObjectId.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool object-name ID\n\n"
    "Prints the log name that the transport logs show for an object identifier\n"
    "(decimal or 0x..; the enciphered flag 0x8000 is ignored), or UNKNOWN OBJECT.\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"object-name", "log name of an object identifier", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  if (args.size() != 1) return tool::UsageError(kCommand, "object-name takes exactly one ID");
  unsigned long long id;
  if (!tool::ParseNumber(args[0], id) || id > 0xFFFFFFFFull)
    return tool::UsageError(kCommand, "not a 32-bit identifier: '" + args[0] + "'");
  std::cout << GetObjectName(static_cast<uint32_t>(id)) << "\n";
  return 0;
}

}  // namespace
