// notify-stack CODE: the Bluetooth stack's state notification to the running
// service of this registry, posted as the stack's manager posts it.
#include <iostream>

#include "ToolCommand.h"
#include "platform/Registry.h"
#include "platform/StackNotification.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool notify-stack CODE\n\n"
    "Posts the Bluetooth stack's notification \"NotifyMessage for TosBtMng state\"\n"
    "with CODE (the stack's state, a 16-bit number) to the running vci-identd of\n"
    "the registry file $VCI_IDENT_REGISTRY (default /etc/vci-ident/registry.reg).\n"
    "A service started with -t starts identification on 1 (initialisation ended),\n"
    "stops it on 10 and 20 (about to be disabled) and starts it again on 7 (RFCOMM\n"
    "enabled) once 1 was seen; other services and codes only log the message.\n"
    "Exit 1 when no service runs for the registry file.\n\n"
    "example: vci-ident-tool notify-stack 1\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"notify-stack", "post a Bluetooth stack notification to the running service", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Run(const std::vector<std::string>& args) {
  if (args.size() != 1) return tool::UsageError(kCommand, "expected one CODE");
  unsigned long long code;
  if (!tool::ParseNumber(args[0], code) || code > 0xFFFF)
    return tool::UsageError(kCommand, "CODE must be a number from 0 to 65535: " + args[0]);
  if (!platform::PostStackNotification(static_cast<WPARAM>(code)))
    return tool::Fail("no VCI Identification Service runs for the registry " + platform::RegistryFilePath());
  return 0;
}

}  // namespace
