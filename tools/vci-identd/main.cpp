// vci-identd: the VCI identification service. Started by a client library
// (any command line) or by the Bluetooth stack ("-t"); a newly started
// instance replaces the running one of the same registry file.
#include <cstdio>

#include "IdentService.h"
#include "ServiceCore.h"
#include "VersionText.h"

namespace {

const char kUsage[] =
    "usage: vci-identd [-t]\n"
    "       vci-identd --help | --version\n\n"
    "The VCI identification service. It replaces a running instance that uses\n"
    "the same registry file ($VCI_IDENT_REGISTRY, default\n"
    "/etc/vci-ident/registry.reg) and runs until SIGTERM or SIGINT, or until a\n"
    "newer instance starts.\n\n"
    "-t  started by the Bluetooth stack: identification starts when the stack\n"
    "    reports that it has initialised (vci-ident-tool notify-stack 1)\n"
    "    anything else: started by a client library, identification starts at once\n\n"
    "With [Mode] ShowWindow = true in ident.ini the trace lines are written to\n"
    "standard output. With $NOTIFY_SOCKET set, READY=1 is sent once the service\n"
    "answers its window (systemd Type=notify).\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string commandLine = CIdentService::CommandLineTail(argc, argv);
  if (commandLine == "--help") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (commandLine == "--version") return PrintVersion("vci-identd");
  CIdentService service(ServiceCore());
  return service.Run(commandLine);
}
