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
    "newer instance starts. SIGHUP reads ident.ini again (at once, or when the\n"
    "last registered application has gone).\n\n"
    "-t  started by the Bluetooth stack: identification starts when the stack\n"
    "    reports that it has initialised (vci-ident-tool notify-stack 1)\n"
    "    anything else: started by a client library, identification starts at once\n\n"
    "With [Mode] ShowWindow = true in ident.ini the trace lines are written to\n"
    "standard output. Under systemd (standard error is $JOURNAL_STREAM) warnings\n"
    "and errors reach the journal whatever ident.ini says, each line with its\n"
    "priority. With $NOTIFY_SOCKET set, READY=1, RELOADING=1, STOPPING=1 and\n"
    "STATUS= are sent (systemd Type=notify); a listening socket handed over\n"
    "($LISTEN_FDS, $LISTEN_PID) is the control port.\n\n"
    "Exit status: 0 after an orderly stop; 1 when the start fails, with a line\n"
    "naming the cause.\n";

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
