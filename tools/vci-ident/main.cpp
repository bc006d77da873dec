// vci-ident: the VCI identification service from the command line. See
// kUsage and each command's --help.
#include <cstdlib>
#include <iostream>

#include "Cli.h"
#include "VersionText.h"

namespace {

const char kUsage[] =
    "usage: vci-ident [--service ADDR] [--port N] [--start PROGRAM] [--persist-log] COMMAND [ARGS...]\n"
    "       vci-ident COMMAND --help\n"
    "       vci-ident --version\n\n"
    "Asks the VCI identification service of this PC which VCIs it knows.\n\n"
    "  --service ADDR   the service's address, one of this PC's (default 127.0.0.1)\n"
    "  --port N         its control port (default 8098)\n"
    "  --start PROGRAM  start the service program when nothing answers on the port\n"
    "  --persist-log    keep the service writing its trace file while this command is\n"
    "                   registered (each registration sets it; without this, off)\n\n"
    "Exit codes: 0 success, 1 failure (a line on standard error says why), 2 usage.\n\n"
    "commands:\n";

void PrintUsage(std::ostream& out) {
  out << kUsage;
  for (const Command& c : Commands()) {
    std::string name = c.name;
    name.resize(12, ' ');
    out << "  " << name << c.summary << "\n";
  }
}

int GlobalUsageError(const std::string& message) {
  std::cerr << "vci-ident: " << message << " (see vci-ident --help)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vciident::ClientOptions options;
  options.clientName = "vci-ident";
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      PrintUsage(std::cout);
      return 0;
    }
    if (option == "--version") return PrintVersion("vci-ident");
    if (option == "--persist-log") {
      options.persistLog = true;
      continue;
    }
    if (option != "--service" && option != "--port" && option != "--start")
      return GlobalUsageError("unknown option '" + option + "'");
    if (i + 1 >= argc) return GlobalUsageError(option + " needs a value");
    const std::string value = argv[++i];
    if (option == "--service") options.serviceAddress = value;
    if (option == "--start") options.serviceProgram = value;
    if (option == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 1 || port > 65535)
        return GlobalUsageError("'" + value + "' is not a port");
      options.controlPort = static_cast<uint16_t>(port);
    }
  }
  if (i >= argc) {
    PrintUsage(std::cerr);
    return 2;
  }
  const std::string name = argv[i];
  const std::vector<std::string> args(argv + i + 1, argv + argc);
  for (const Command& c : Commands()) {
    if (name != c.name) continue;
    for (const std::string& a : args)
      if (a == "--help" || a == "-h") {
        std::cout << c.usage;
        return 0;
      }
    return c.run(c, options, args);
  }
  return GlobalUsageError("unknown command '" + name + "'");
}
