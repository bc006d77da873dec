// bt discover|name|pair|connected|disconnect: the Bluetooth stack driven the
// way the service drives it, one blocking operation per command.
#include <iostream>

#include "ToolCommand.h"
#include "bluetooth/BtApiSync.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool bt discover\n"
    "       vci-ident-tool bt name ADDR\n"
    "       vci-ident-tool bt pair ADDR [--pin PIN]\n"
    "       vci-ident-tool bt connected ADDR\n"
    "       vci-ident-tool bt disconnect CID|--all\n\n"
    "Drives the Bluetooth stack library " TOSBT_LIBRARY_NAME
    " as the service does. The library is\n"
    "looked up through the dynamic loader's search path, so LD_LIBRARY_PATH selects\n"
    "a stack. Time limits and Mode:SkipPair come from the service's ident.ini.\n\n"
    "  discover             scan, then print each device found: ADDR NAME\n"
    "  name ADDR            print the device's friendly name\n"
    "  pair ADDR            pair with the device (PIN 9062 unless --pin)\n"
    "  connected ADDR       print \"connected CID\", or \"not connected\" (exit 1)\n"
    "  disconnect CID|--all close one connection, or every one\n\n"
    "ADDR is aa:bb:cc:dd:ee:ff. Exit 1 when the library cannot be loaded or the\n"
    "stack operation fails.\n\n"
    "example: LD_LIBRARY_PATH=/opt/btsim vci-ident-tool bt discover\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"bt", "scan, name, pair, check and disconnect Bluetooth devices", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

int Discover(CBtApiSync& bt) {
  if (!bt.DiscoverRemoteDevice()) return tool::Fail("the device discovery failed");
  for (const std::string& text : bt.GetDeviceList()) {
    uint8_t address[6];
    std::string name;
    CBtApiSync::ParseAddress(text, address);
    std::cout << text << " " << (bt.DiscoverRemoteName(address, name) ? name : "(name unknown)") << std::endl;
  }
  return 0;
}

int Run(const std::vector<std::string>& args) {
  const std::string verb = args.empty() ? "" : args[0];
  const size_t wanted = verb == "discover" ? 1 : verb == "pair" ? (args.size() == 4 ? 4 : 2) : 2;
  if (verb != "discover" && verb != "name" && verb != "pair" && verb != "connected" && verb != "disconnect")
    return tool::UsageError(kCommand, "expected discover, name, pair, connected or disconnect");
  if (args.size() != wanted || (wanted == 4 && args[2] != "--pin"))
    return tool::UsageError(kCommand, "wrong arguments for bt " + verb);
  uint8_t address[6] = {0};
  unsigned long long cid = 0;
  const bool all = verb == "disconnect" && args[1] == "--all";
  if (verb == "disconnect" && !all && (!tool::ParseNumber(args[1], cid) || cid > 0xFFFF))
    return tool::UsageError(kCommand, "CID must be a number from 0 to 65535: " + args[1]);
  if (verb != "discover" && verb != "disconnect" && !CBtApiSync::ParseAddress(args[1], address))
    return tool::UsageError(kCommand, "ADDR must be aa:bb:cc:dd:ee:ff: " + args[1]);

  CBtApiSync bt;
  if (!bt.IsInitialized())
    return tool::Fail("the Bluetooth stack library " TOSBT_LIBRARY_NAME
                      " cannot be loaded (searched with LD_LIBRARY_PATH)");
  if (verb == "discover") return Discover(bt);
  if (verb == "name") {
    std::string name;
    if (!bt.DiscoverRemoteName(address, name)) return tool::Fail("the name query failed");
    std::cout << name << std::endl;
  } else if (verb == "pair") {
    if (!bt.Pair(address, wanted == 4 ? args[3].c_str() : "9062")) return tool::Fail("pairing failed");
    std::cout << "paired " << args[1] << std::endl;
  } else if (verb == "connected") {
    uint16_t channel = 0;
    int32_t status = 0;
    if (!bt.CheckConnectState(address, channel, status)) {
      std::cout << "not connected (status " << status << ")" << std::endl;
      return 1;
    }
    std::cout << "connected " << channel << std::endl;
  } else if (!(all ? bt.DisconnectAll() : bt.Disconnect(static_cast<uint16_t>(cid)))) {
    return tool::Fail("the disconnect did not end in time");
  }
  return 0;
}

}  // namespace
