// vci-sim: one or many simulated VCIs on this machine, for tests, demos and
// application development without hardware. See kUsage.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VersionText.h"
#include "host/TraceLog.h"
#include "platform/LocalAddress.h"
#include "platform/StopSignals.h"
#include "SimAnnouncer.h"
#include "SimIdentity.h"
#include "SimVci.h"

using namespace vcisim;

namespace {

const char kUsage[] =
    "usage: vci-sim [OPTIONS]\n"
    "\n"
    "Simulates one VCI (or many) on this machine: its application service (TCP\n"
    "9000) and configuration service (TCP 9004) on its own address, one request\n"
    "per connection, and its announcements to 225.1.1.1:8194.\n"
    "\n"
    "Identity and contents (a JSON identity file first, then these options):\n"
    "  --identity FILE        JSON object with any of these keys, no others: serial,\n"
    "                         address, device_token, module_type, module_state,\n"
    "                         interface_kind, product_version, product_date,\n"
    "                         applications, app_components, system_components\n"
    "                         (arrays of {\"name\", \"version\"}), sessions (array of\n"
    "                         {number, text1, text2, address, interface_kind, flag}),\n"
    "                         wireless {enabled, ap_state, link_quality_raw,\n"
    "                         signal_level, noise_level}, format, message_version\n"
    "  --serial N             serial number (default 1000)\n"
    "  --address ADDR         address of the services and announcements\n"
    "                         (default 127.0.0.2)\n"
    "  --device-token HEX     the 8 token bytes in wire order, 16 hex digits\n"
    "                         (default 0102030405060708)\n"
    "  --module-type N        product type number, 0..255 (default 1)\n"
    "  --module-state N       0..255; 2 = recovery mode (default 0)\n"
    "  --interface-kind N     1 Ethernet, 2 USB, 4 Wireless, 8 Local, 16 Bluetooth\n"
    "                         (default 1)\n"
    "  --product-version TEXT configuration value ProductVersion (default 1.0.0)\n"
    "  --product-date TEXT    configuration value ProductDate (default 20260101)\n"
    "  --app NAME=VERSION     an installed application (repeat for more; replaces\n"
    "                         the file's list)\n"
    "  --app-comp NAME=VERSION, --sys-comp NAME=VERSION\n"
    "                         an application or system component, likewise\n"
    "  --session N:KIND:TEXT1:TEXT2\n"
    "                         an open session announced by the VCI (repeatable)\n"
    "  --wireless RAW[:AP:SIGNAL:NOISE]\n"
    "                         announce a wireless link with raw link quality RAW\n"
    "                         (0..255), access-point state AP, signal and noise\n"
    "                         levels (-128..127)\n"
    "  --count N              N VCIs on consecutive addresses from --address, with\n"
    "                         consecutive serial numbers from --serial (default 1)\n"
    "\n"
    "Announcements:\n"
    "  --format F             current (default), legacy or recovery\n"
    "  --msg-version N        layout version: current 1..3 (default 3), legacy\n"
    "                         1..2 (default 2), recovery 1..2 (default 2)\n"
    "  --interval MS          time between two announcements of a VCI (default\n"
    "                         1000); the VCIs of --count announce at phases spread\n"
    "                         evenly over it, as real VCIs do (see the command status)\n"
    "  --burst                all VCIs announce together, one burst every interval\n"
    "  --multicast-if ADDR    interface address to send through (default 127.0.0.1)\n"
    "  --no-announce          start silent (see the command announce)\n"
    "\n"
    "Services and faults:\n"
    "  --encrypt-replies      encipher every reply with the default key\n"
    "  --reply-delay MS       answer each request MS milliseconds late\n"
    "  --reply-result N       result code carried by every reply (default 0)\n"
    "  --fault NAME           switch a fault on at start (repeatable):\n"
    "                           refuse         services closed: connections refused\n"
    "                           no-answer      read the request, never answer\n"
    "                           close          close the connection before the reply\n"
    "                           garbage        a well-framed reply of random bytes\n"
    "                           truncate       half a reply frame, then close\n"
    "                           bad-cipher     a reply marked enciphered that does\n"
    "                                          not decipher\n"
    "                           duplicate-key  a configuration reply with its key twice\n"
    "  -v, --verbose          a line per request served and per round of\n"
    "                         announcements (standard error)\n"
    "  -h, --help             this text\n"
    "      --version          the version\n"
    "\n"
    "Commands on standard input, one a line; each may end in a serial number to\n"
    "act on that VCI only (default: all). Each is answered \"ok\" or \"error: ...\":\n"
    "  fault NAME on|off      switch a fault (names as above)\n"
    "  delay MS               reply delay\n"
    "  result N               reply result code\n"
    "  announce on|off        stop or resume announcing\n"
    "  token HEX              new device token (as after new software)\n"
    "  state N                new module state (2 = recovery mode)\n"
    "  status                 one JSON line per VCI (instead of \"ok\")\n"
    "  quit                   stop all VCIs (as SIGINT and SIGTERM do)\n"
    "\n"
    "Requests: the application service answers CGetApplications_Send,\n"
    "CGetAppComps_Send and CGetSysComps_Send; the configuration service answers\n"
    "CGetConfigNEW_Send, key 16 with ProductVersion, ProductDate and ModuleType,\n"
    "other keys with an empty configuration; anything else gets a reply of\n"
    "result -1.\n"
    "\n"
    "Examples:\n"
    "  vci-sim --serial 4711 --address 127.0.0.2\n"
    "  vci-sim --count 200 -v\n"
    "  vci-sim --identity vci.json --encrypt-replies --format legacy\n"
    "  mkfifo ctl; vci-sim < ctl & exec 3> ctl; echo 'fault refuse on' >&3\n"
    "\n"
    "Exit status: 0 after a stop, 2 for a usage error, 1 when a VCI cannot start.\n";

int UsageError(const std::string& message) {
  std::cerr << "vci-sim: " << message << " (see vci-sim --help)\n";
  return 2;
}

bool SplitNameVersion(const std::string& text, SimAppEntry& entry) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  entry.name = text.substr(0, eq);
  entry.version = text.substr(eq + 1);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

struct Options {
  SimIdentity identity;
  uint32_t count = 1;
  uint32_t intervalMs = 1000;
  bool burst = false;
  std::string multicastIf = "127.0.0.1";
  bool announce = true;
  bool encryptReplies = false;
  uint32_t replyDelayMs = 0;
  int32_t replyResult = 0;
  std::vector<Fault> faults;
  int verbosity = 0;
};

// 0 to run, 1 after --help or --version, 2 for a usage error (already reported).
int ParseOptions(int argc, char** argv, Options& o) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The identity file first, so that every other option overrides it.
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--version") {
      PrintVersion("vci-sim");
      return 1;
    }
    if (args[i] == "-h" || args[i] == "--help") {
      std::cout << kUsage;
      return 1;
    }
    if (args[i] == "--identity") {
      if (i + 1 >= args.size()) return UsageError("--identity needs a file");
      std::ifstream in(args[i + 1], std::ios::binary);
      // peek turns the failing read of a folder into the bad bit.
      if (!in || (in.peek(), in.bad())) return UsageError("cannot read identity file '" + args[i + 1] + "'");
      std::stringstream ss;
      ss << in.rdbuf();
      std::string error;
      if (!ParseIdentityJson(ss.str(), o.identity, error)) return UsageError(args[i + 1] + ": " + error);
    }
  }
  SimIdentity& id = o.identity;
  bool appsGiven = false, appCompsGiven = false, sysCompsGiven = false, sessionsGiven = false, versionGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    uint64_t n = 0;
    int64_t s = 0;
    auto number = [&](uint64_t max) { return value(v) && ParseUnsigned(v, max, n); };
    if (a == "--identity") {
      ++i;
    } else if (a == "-v" || a == "--verbose") {
      ++o.verbosity;
    } else if (a == "--serial") {
      if (!number(0xFFFFFFFFu)) return UsageError("--serial needs a 32-bit number");
      id.serial = static_cast<uint32_t>(n);
    } else if (a == "--address") {
      if (!value(v) || OffsetAddress(v, 0).empty()) return UsageError("--address needs a dotted IPv4 address");
      id.address = v;
    } else if (a == "--device-token") {
      if (!value(v) || !ParseToken(v, id.deviceToken)) return UsageError("--device-token needs up to 16 hex digits");
    } else if (a == "--module-type") {
      if (!number(255)) return UsageError("--module-type needs a number 0..255");
      id.moduleType = static_cast<uint32_t>(n);
    } else if (a == "--module-state") {
      if (!number(255)) return UsageError("--module-state needs a number 0..255");
      id.moduleState = static_cast<uint32_t>(n);
    } else if (a == "--interface-kind") {
      if (!number(255)) return UsageError("--interface-kind needs a number 0..255");
      id.interfaceKind = static_cast<uint32_t>(n);
    } else if (a == "--product-version") {
      if (!value(id.productVersion)) return UsageError("--product-version needs a text");
    } else if (a == "--product-date") {
      if (!value(id.productDate)) return UsageError("--product-date needs a text");
    } else if (a == "--app" || a == "--app-comp" || a == "--sys-comp") {
      SimAppEntry e;
      if (!value(v) || !SplitNameVersion(v, e)) return UsageError(a + " needs NAME=VERSION");
      bool& given = a == "--app" ? appsGiven : a == "--app-comp" ? appCompsGiven : sysCompsGiven;
      std::vector<SimAppEntry>& list =
          a == "--app" ? id.applications : a == "--app-comp" ? id.appComponents : id.systemComponents;
      if (!given) list.clear();
      given = true;
      list.push_back(e);
    } else if (a == "--session") {
      std::vector<std::string> p;
      SimSession session;
      uint64_t kind = 0;
      if (!value(v) || (p = Split(v, ':')).size() != 4 || !ParseUnsigned(p[0], 0xFFFFFFFFu, n) ||
          !ParseUnsigned(p[1], 0xFFFFFFFFu, kind))
        return UsageError("--session needs NUMBER:KIND:TEXT1:TEXT2");
      session.number = static_cast<uint32_t>(n);
      session.interfaceKind = static_cast<uint32_t>(kind);
      session.text1 = p[2];
      session.text2 = p[3];
      if (!sessionsGiven) id.sessions.clear();
      sessionsGiven = true;
      if (id.sessions.size() == 255) return UsageError("at most 255 sessions travel in an announcement");
      id.sessions.push_back(session);
    } else if (a == "--wireless") {
      std::vector<std::string> p;
      SimWireless w;
      w.enabled = true;
      if (!value(v) || ((p = Split(v, ':')).size() != 1 && p.size() != 4) || !ParseUnsigned(p[0], 255, n))
        return UsageError("--wireless needs RAW or RAW:AP:SIGNAL:NOISE");
      w.linkQualityRaw = static_cast<uint32_t>(n);
      if (p.size() == 4) {
        int64_t noise = 0;
        if (!ParseUnsigned(p[1], 255, n) || !ParseSigned(p[2], -128, 127, s) || !ParseSigned(p[3], -128, 127, noise))
          return UsageError("--wireless needs AP 0..255 and SIGNAL, NOISE -128..127");
        w.apState = static_cast<uint32_t>(n);
        w.signalLevel = static_cast<int32_t>(s);
        w.noiseLevel = static_cast<int32_t>(noise);
      }
      id.wireless = w;
    } else if (a == "--count") {
      if (!number(65535) || n == 0) return UsageError("--count needs a number 1..65535");
      o.count = static_cast<uint32_t>(n);
    } else if (a == "--format") {
      if (!value(v) || !ParseAnnounceFormat(v, id.format)) return UsageError("--format is current, legacy or recovery");
      if (!versionGiven) id.messageVersion = DefaultMessageVersion(id.format);
    } else if (a == "--msg-version") {
      if (!number(255)) return UsageError("--msg-version needs a number");
      id.messageVersion = static_cast<uint32_t>(n);
      versionGiven = true;
    } else if (a == "--burst") {
      o.burst = true;
    } else if (a == "--interval") {
      if (!number(3600000) || n == 0) return UsageError("--interval needs milliseconds 1..3600000");
      o.intervalMs = static_cast<uint32_t>(n);
    } else if (a == "--multicast-if") {
      if (!value(v) || OffsetAddress(v, 0).empty()) return UsageError("--multicast-if needs a dotted IPv4 address");
      o.multicastIf = v;
    } else if (a == "--no-announce") {
      o.announce = false;
    } else if (a == "--encrypt-replies") {
      o.encryptReplies = true;
    } else if (a == "--reply-delay") {
      if (!number(3600000)) return UsageError("--reply-delay needs milliseconds");
      o.replyDelayMs = static_cast<uint32_t>(n);
    } else if (a == "--reply-result") {
      if (!value(v) || !ParseSigned(v, INT32_MIN, INT32_MAX, s)) return UsageError("--reply-result needs a 32-bit number");
      o.replyResult = static_cast<int32_t>(s);
    } else if (a == "--fault") {
      Fault f;
      if (!value(v) || !ParseFault(v, f)) return UsageError("unknown fault '" + v + "'");
      o.faults.push_back(f);
    } else {
      return UsageError("unknown option '" + a + "'");
    }
  }
  if (!IsValidMessageVersion(id.format, id.messageVersion))
    return UsageError("--msg-version " + std::to_string(id.messageVersion) + " is not a version of the " +
                      AnnounceFormatName(id.format) + " format");
  if (OffsetAddress(id.address, o.count - 1).empty() || static_cast<uint64_t>(id.serial) + o.count - 1 > 0xFFFFFFFFull)
    return UsageError("--count runs past the last address or serial number");
  return 0;
}

// Runs one command line; the answer goes to standard output.
void RunCommand(const std::string& line, const std::vector<std::unique_ptr<CSimVci>>& vcis) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return;
  auto answer = [](const std::string& text) { std::cout << text << std::endl; };
  const std::string& cmd = w[0];
  if (cmd == "quit" || cmd == "exit" || cmd == "help") {
    if (w.size() != 1) return answer("error: " + cmd + " takes no arguments");
    if (cmd == "help") {
      std::cout << kUsage << std::flush;
      return;
    }
    answer("ok");
    kill(getpid(), SIGTERM);
    return;
  }
  // The argument count of each command without its optional serial number.
  size_t args = cmd == "fault" ? 2 : cmd == "status" ? 0 : 1;
  if (cmd != "fault" && cmd != "delay" && cmd != "result" && cmd != "announce" && cmd != "token" && cmd != "state" &&
      cmd != "status")
    return answer("error: unknown command '" + cmd + "'");
  if (w.size() != args + 1 && w.size() != args + 2) return answer("error: wrong number of arguments to " + cmd);
  std::vector<CSimVci*> targets;
  if (w.size() == args + 2) {
    uint64_t serial;
    if (!ParseUnsigned(w.back(), 0xFFFFFFFFu, serial)) return answer("error: not a serial number: " + w.back());
    for (const auto& vci : vcis)
      if (vci->GetSerial() == serial) targets.push_back(vci.get());
    if (targets.empty()) return answer("error: no VCI with serial number " + w.back());
  } else {
    for (const auto& vci : vcis) targets.push_back(vci.get());
  }
  auto onOff = [](const std::string& t, bool& on) {
    if (t == "on") on = true;
    else if (t == "off") on = false;
    else return false;
    return true;
  };
  if (cmd == "status") {
    for (CSimVci* v : targets) std::cout << v->DescribeJson() << "\n";
    std::cout.flush();
    return;
  }
  uint64_t n;
  int64_t s;
  bool on;
  if (cmd == "fault") {
    Fault f;
    if (!ParseFault(w[1], f)) return answer("error: unknown fault '" + w[1] + "'");
    if (!onOff(w[2], on)) return answer("error: fault needs on or off");
    for (CSimVci* v : targets) v->SetFault(f, on);
  } else if (cmd == "delay") {
    if (!ParseUnsigned(w[1], 3600000, n)) return answer("error: delay needs milliseconds");
    for (CSimVci* v : targets) v->SetReplyDelay(static_cast<uint32_t>(n));
  } else if (cmd == "result") {
    if (!ParseSigned(w[1], INT32_MIN, INT32_MAX, s)) return answer("error: result needs a 32-bit number");
    for (CSimVci* v : targets) v->SetReplyResult(static_cast<int32_t>(s));
  } else if (cmd == "announce") {
    if (!onOff(w[1], on)) return answer("error: announce needs on or off");
    for (CSimVci* v : targets) v->SetAnnouncing(on);
  } else if (cmd == "token") {
    uint64_t token;
    if (!ParseToken(w[1], token)) return answer("error: token needs up to 16 hex digits");
    for (CSimVci* v : targets) v->SetDeviceToken(token);
  } else if (cmd == "state") {
    if (!ParseUnsigned(w[1], 255, n)) return answer("error: state needs a number 0..255");
    for (CSimVci* v : targets) v->SetModuleState(static_cast<uint32_t>(n));
  }
  answer("ok");
}

}  // namespace

int main(int argc, char** argv) {
  // A simulator shares the service's layers and, through the registry, its
  // trace file: a line of its own there would interleave with the service's
  // and, as this process's first write, truncate the file.
  SetTraceLogSilenced(true);
  Options o;
  int rc = ParseOptions(argc, argv, o);
  if (rc == 1) return 0;
  if (rc != 0) return rc;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);

  // Every thread inherits the blocked stop signals; the main thread waits
  // for them.
  const sigset_t stopSignals = platform::BlockStopSignals();

  std::vector<std::unique_ptr<CSimVci>> vcis;
  std::vector<CSimVci*> plain;
  for (uint32_t i = 0; i < o.count; ++i) {
    SimIdentity id = o.identity;
    id.address = OffsetAddress(o.identity.address, i);
    id.serial = o.identity.serial + i;
    vcis.emplace_back(new CSimVci(id, o.encryptReplies, o.verbosity));
    CSimVci& vci = *vcis.back();
    for (Fault f : o.faults) vci.SetFault(f, true);
    vci.SetReplyDelay(o.replyDelayMs);
    vci.SetReplyResult(o.replyResult);
    vci.SetAnnouncing(o.announce);
    // Real VCIs announce at independent moments: one datagram at a time
    // reaches a service, not all of them at once.
    vci.SetPhase(o.burst ? 0 : static_cast<uint32_t>(uint64_t(o.intervalMs) * i / o.count));
    plain.push_back(&vci);
  }
  for (auto& vci : vcis) {
    std::string error;
    if (!platform::IsLocalAddress(vci->GetAddress(), error)) {
      std::cerr << "vci-sim: " << vci->GetSerial() << ": " << vci->GetAddress() << " is " << error << "\n";
      return 1;
    }
  }
  {
    std::string error;
    if (!platform::IsLocalAddress(o.multicastIf, error)) {
      std::cerr << "vci-sim: --multicast-if " << o.multicastIf << " is " << error << "\n";
      return 1;
    }
  }
  for (auto& vci : vcis) {
    if (vci->Start() != 0) return 1;
  }
  CSimAnnouncer announcer(plain, o.multicastIf, o.intervalMs, o.verbosity);
  if (announcer.Open() != 0) return 1;

  std::cout << "vci-sim: ready: " << o.count << " VCI" << (o.count == 1 ? "" : "s") << " from "
            << vcis.front()->GetAddress() << " (serial " << vcis.front()->GetSerial() << ") to "
            << vcis.back()->GetAddress() << " (serial " << vcis.back()->GetSerial() << ")" << std::endl;

  // Commands from standard input; its end (as with </dev/null) changes
  // nothing. The thread is left to the process exit.
  std::thread([&vcis]() {
    std::string line;
    while (std::getline(std::cin, line)) RunCommand(line, vcis);
  }).detach();

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  announcer.Close();
  for (auto& vci : vcis) vci->Stop();
  std::cout.flush();
  _exit(0);
}
