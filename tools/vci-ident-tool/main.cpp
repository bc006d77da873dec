// vci-ident-tool: provisioning and diagnostics for the VCI identification
// service. Dispatches to the subcommand families registered in ToolCommand.h.
#include <iostream>

#include "ToolCommand.h"
#include "VersionText.h"
#include "host/TraceLog.h"

static void PrintOverview(std::ostream& out) {
  out << "usage: vci-ident-tool COMMAND [ARGS...]\n"
         "       vci-ident-tool COMMAND --help\n"
         "       vci-ident-tool --version\n\n"
         "Provisioning and diagnostics for the VCI identification service.\n"
         "The registry file is $VCI_IDENT_REGISTRY (default /etc/vci-ident/registry.reg).\n\n"
         "commands:\n";
  for (const auto& c : ToolCommands()) {
    std::string name = c.name;
    name.resize(16, ' ');
    out << "  " << name << c.summary << "\n";
  }
}

int main(int argc, char** argv) {
  // The tool reads the installation the service runs on: a trace line of its
  // own would land in the service's trace file and, as the first write of a
  // process, truncate it.
  SetTraceLogSilenced(true);
  if (argc < 2) {
    PrintOverview(std::cerr);
    return 2;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintOverview(std::cout);
    return 0;
  }
  if (name == "--version") return PrintVersion("vci-ident-tool");
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const auto& c : ToolCommands()) {
    if (name == c.name) {
      if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << c.usage;
        return 0;
      }
      return c.run(args);
    }
  }
  std::cerr << "vci-ident-tool: unknown command '" << name << "' (see vci-ident-tool --help)\n";
  return 2;
}
