// vci-btsim: the simulated Bluetooth stack's radio, for machines without
// one. See kUsage.
#include <signal.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "VersionText.h"
#include "host/TraceLog.h"
#include "BtSimulator.h"
#include "BtWorld.h"
#include "platform/Registry.h"
#include "platform/StopSignals.h"

using namespace btsim;

namespace {

const char kUsage[] =
    "usage: vci-btsim [OPTIONS]\n"
    "\n"
    "Simulates the PC's Bluetooth stack: the devices in range, their names,\n"
    "pairing and link keys, the links, and the personal-area network to a VCI.\n"
    "The stack's library libTosBtApi.so (in the folder btstack beside vci-btsim;\n"
    "installed into <libdir>/vci-ident/btstack, never onto the loader's default\n"
    "path) serves a program that loads it, such as the service started with\n"
    "LD_LIBRARY_PATH=<that folder>, by asking this simulator; so does the\n"
    "companion program TosBtPcs in the same folder:\n"
    "  TosBtPcs ADDR /TARGET_GN                connect the network to that device\n"
    "  TosBtPcs -00:00:00:00:00:00 /TARGET_GN  reset the network\n"
    "They find the simulator by the registry file ($VCI_IDENT_REGISTRY, default\n"
    "/etc/vci-ident/registry.reg): one simulator per registry file, met on the\n"
    "abstract socket @vci-btsim/<absolute registry file path>.\n"
    "\n"
    "The PC's Bluetooth network adapter is a veth pair made at start: the PC end\n"
    "carries the alias \"Bluetooth Personal Area Network\" and 192.168.178.1/24\n"
    "and starts down (the network connection switched off; setting it up, as\n"
    "the service does, switches it on). Connecting the network to a VCI starts,\n"
    "in a network namespace of its own behind the other end, the simulated VCI\n"
    "vci-sim --serial SERIAL --interface-kind 16 --address 192.168.178.2\n"
    "--multicast-if 192.168.178.2; a reset stops it. Making the adapter needs\n"
    "CAP_NET_ADMIN: run as root or inside a private namespace (unshare -rn).\n"
    "\n"
    "Options:\n"
    "  --world FILE         the world, a JSON object (below); default: no devices\n"
    "  --device JSON        one more device, merged after the world file (repeat)\n"
    "  --pan-if NAME        the PC end of the network adapter, at most 11\n"
    "                       characters (default bnep0; the other end NAME-vci)\n"
    "  --vci-sim PATH       the simulated VCI (default: vci-sim beside vci-btsim)\n"
    "  --identd PATH        start the service as the stack does (PATH -t) and stop\n"
    "                       it at the end; its output goes to standard error\n"
    "  --notify N[,N...]    state notifications posted to the service's window at\n"
    "                       start, once the started service is ready (default 1,\n"
    "                       INIT_END, with --identd; none without)\n"
    "  --register           write the stack's folder, as InstallPath under\n"
    "                       HKEY_LOCAL_MACHINE\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0,\n"
    "                       into the registry file, so that the service finds\n"
    "                       TosBtPcs (the same as: vci-ident-tool registry set\n"
    "                       'HKEY_LOCAL_MACHINE\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0'\n"
    "                       InstallPath <folder>/ ; note the closing \"/\")\n"
    "  --stack-dir DIR      the stack's folder for --register (default: btstack\n"
    "                       beside vci-btsim, else the installed folder)\n"
    "  -v, --verbose        every request and notification on standard error\n"
    "  -h, --help           this text\n"
    "      --version        the version\n"
    "\n";

const char kExamples[] =
    "\n"
    "Example world:\n"
    "  {\"scan_time_ms\": 500, \"devices\": [\n"
    "    {\"address\": \"00:1b:dc:00:47:11\", \"name\": \"VTX5-00004711:2.1.7:R0\", \"serial\": 4711},\n"
    "    {\"address\": \"00:1b:dc:00:00:02\", \"name\": \"Headset\", \"paired\": true}]}\n"
    "\n"
    "Examples:\n"
    "  unshare -rn sh -c 'ip link set lo up; vci-btsim --world world.json --register'\n"
    "  vci-btsim --world world.json --identd build/tools/vci-identd --notify 1,7\n"
    "  echo 'device {\"address\": \"00:1b:dc:00:47:11\", \"in_range\": false}' >&3\n"
    "\n"
    "Exit status: 0 after a stop, 2 for a usage error, 1 when it cannot start.\n";

int UsageError(const std::string& message) {
  std::cerr << "vci-btsim: " << message << " (see vci-btsim --help)\n";
  return 2;
}

bool ParseCodes(const std::string& text, std::vector<unsigned>& codes) {
  std::istringstream in(text);
  codes.clear();
  for (std::string part; std::getline(in, part, ',');) {
    char* end = nullptr;
    unsigned long code = strtoul(part.c_str(), &end, 10);
    if (part.empty() || *end || code > 0xFFFF) return false;
    codes.push_back(static_cast<unsigned>(code));
  }
  return !codes.empty();
}

}  // namespace

int main(int argc, char** argv) {
  // A simulator shares the service's layers and, through the registry, its
  // trace file: a line of its own there would interleave with the service's
  // and, as this process's first write, truncate the file.
  SetTraceLogSilenced(true);
  const boost::filesystem::path home = boost::filesystem::read_symlink("/proc/self/exe").parent_path();
  CBtWorld world;
  CBtSimulator::COptions options;
  options.vciSimPath = (home / "vci-sim").string();
  // In a build tree the stack is beside the simulator; installed, in its
  // own folder under the library folder.
  std::string stackDir = (home / "btstack").string();
  if (!boost::filesystem::is_directory(stackDir)) stackDir = VCI_BTSTACK_DIR;
  bool notifyGiven = false, registerStack = false;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v, error;
    auto value = [&]() {
      if (i + 1 >= args.size()) return false;
      v = args[++i];
      return true;
    };
    if (a == "-h" || a == "--help") {
      std::cout << kUsage << kWorldHelp << "\n" << kCommandHelp << kExamples;
      return 0;
    } else if (a == "--version") {
      return PrintVersion("vci-btsim");
    } else if (a == "-v" || a == "--verbose") {
      ++options.verbosity;
    } else if (a == "--world") {
      if (!value()) return UsageError("--world needs a file");
      std::ifstream in(v, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      const nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
      if (!in || j.is_discarded()) return UsageError("cannot read a JSON object from '" + v + "'");
      if (!world.Merge(j, error)) return UsageError(v + ": " + error);
    } else if (a == "--device") {
      if (!value()) return UsageError("--device needs a JSON object");
      const nlohmann::json j = nlohmann::json::parse(v, nullptr, false);
      if (j.is_discarded() || !world.MergeDevice(j, error)) return UsageError("--device: " + (error.empty() ? "not JSON" : error));
    } else if (a == "--pan-if") {
      if (!value() || v.empty() || v.size() > 11) return UsageError("--pan-if needs a name of 1 to 11 characters");
      options.panInterface = v;
    } else if (a == "--vci-sim" || a == "--identd" || a == "--stack-dir") {
      if (!value()) return UsageError(a + " needs a path");
      (a == "--vci-sim" ? options.vciSimPath : a == "--identd" ? options.servicePath : stackDir) = v;
    } else if (a == "--notify") {
      if (!value() || !ParseCodes(v, options.startCodes)) return UsageError("--notify needs numbers 0..65535 like 1,7");
      notifyGiven = true;
    } else if (a == "--register") {
      registerStack = true;
    } else {
      return UsageError("unknown option '" + a + "'");
    }
  }
  if (!notifyGiven && !options.servicePath.empty()) options.startCodes = {1};
  if (registerStack) {
    const std::string folder = boost::filesystem::absolute(stackDir).lexically_normal().string() + "/";
    if (platform::RegistrySetString(std::string("HKEY_LOCAL_MACHINE\\") + BT_STACK_REGISTRY_KEY, "InstallPath",
                                    folder) != 0) {
      std::cerr << "vci-btsim: cannot write InstallPath into " << platform::RegistryFilePath() << std::endl;
      return 1;
    }
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  // The stop signals are read from a descriptor in the simulator's loop.
  platform::BlockStopSignals();
  CBtSimulator simulator(world, options);
  return simulator.Run();
}
