// vci-ident: the VCI identification service from the command line. See
// kHelp and each command's --help.
#include <cstdlib>
#include <iostream>

#include "Cli.h"
#include "VersionText.h"

namespace {

const char kHelp[] =
    "NAME\n"
    "  vci-ident - the VCIs that the VCI identification service knows\n\n"
    "SYNOPSIS\n"
    "  vci-ident [--service ADDR] [--port N] [--start PROGRAM] [--persist-log] COMMAND [ARGS...]\n"
    "  vci-ident COMMAND --help\n"
    "  vci-ident --help | --version\n\n"
    "DESCRIPTION\n"
    "  Asks the VCI identification service of this PC (vci-identd) which VCIs it\n"
    "  knows, and has it run Bluetooth commands. list, show and info take one look\n"
    "  at the service and leave its settings as they are; watch and bt stay\n"
    "  registered while they run.\n\n"
    "OPTIONS\n"
    "  --service ADDR   the service's address, one of this PC's (default 127.0.0.1)\n"
    "  --port N         its control port (default 8098)\n"
    "  --start PROGRAM  start the service program when its control port refuses\n"
    "                   the connection (never on a slow answer: a new instance\n"
    "                   replaces a running one)\n"
    "  --persist-log    have the service write its trace file while watch or bt is\n"
    "                   registered; without it they leave the trace file as it is\n"
    "  -h, --help       this text\n"
    "  --version        the version\n\n"
    "COMMANDS\n";

const char kExitStatus[] =
    "\nEXIT STATUS\n"
    "  0 success; 1 failure, with one line on standard error that says why; 2 a\n"
    "  usage mistake, with one line naming it.\n";

void PrintHelp() {
  std::cout << kHelp;
  for (const Command& c : Commands()) {
    std::string name = c.name;
    name.resize(12, ' ');
    std::cout << "  " << name << c.summary << "\n";
  }
  std::cout << kExitStatus;
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
      PrintHelp();
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
  if (i >= argc) return GlobalUsageError("no command given");
  const std::string name = argv[i];
  const std::vector<std::string> args(argv + i + 1, argv + argc);
  for (const Command& c : Commands()) {
    if (name != c.name) continue;
    for (const std::string& a : args)
      if (a == "--help" || a == "-h") {
        std::cout << cli::HelpText(c);
        return 0;
      }
    return c.run(c, options, args);
  }
  return GlobalUsageError("unknown command '" + name + "'");
}
