// interfaces: the interface list exactly as the service's interface monitor
// builds it. How a user checks that a VCI's USB network adapter is seen as
// such (kind USB) and which address it got.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "ToolCommand.h"
#include "netif/IFList.h"
#include "netif/IFMonitor.h"
#include "platform/StopSignals.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool interfaces [--watch] [--json]\n\n"
    "Prints the interface list that the service works with: one line per\n"
    "interface with address, mask, broadcast, hardware address, kind (Ethernet,\n"
    "USB, Local) and adapter name, in the list's order: by address as text, the\n"
    "loopback entry 127.0.0.1 (kind Local) included.\n\n"
    "  --watch   keep running and print the new list, with a time stamp, every\n"
    "            time it changes, until interrupted (Ctrl-C)\n"
    "  --json    one JSON object per list: {\"interfaces\": [{\"address\", \"mask\",\n"
    "            \"broadcast\", \"hwAddr\", \"kind\", \"kindName\", \"name\"}]}, with\n"
    "            \"time\" added under --watch\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"interfaces", "the interface list as the service sees it", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

void Print(const CIFList& list, bool asJson, const std::string& time) {
  if (asJson) {
    nlohmann::ordered_json out;
    if (!time.empty()) out["time"] = time;
    nlohmann::ordered_json ifs = nlohmann::ordered_json::array();
    for (const auto& e : list.GetIFs()) {
      const CIFList::CIF& i = e.second;
      ifs.push_back({{"address", i.m_strAddress},
                     {"mask", i.m_strMask},
                     {"broadcast", i.m_strBroadcast},
                     {"hwAddr", i.m_strHWAddr},
                     {"kind", i.m_eIF},
                     {"kindName", GetIFKindName(i.m_eIF)},
                     {"name", i.m_strName}});
    }
    out["interfaces"] = ifs;
    tool::PrintJson(out, true);
    return;
  }
  if (!time.empty()) std::cout << time << "\n";
  char line[256];
  snprintf(line, sizeof line, "%-16s %-16s %-16s %-17s %-9s %s\n", "ADDRESS", "MASK", "BROADCAST", "HW ADDRESS",
           "KIND", "NAME");
  std::cout << line;
  for (const auto& e : list.GetIFs()) {
    const CIFList::CIF& i = e.second;
    snprintf(line, sizeof line, "%-16s %-16s %-16s %-17s %-9s %s\n", i.m_strAddress.c_str(), i.m_strMask.c_str(),
             i.m_strBroadcast.c_str(), i.m_strHWAddr.c_str(), GetIFKindName(i.m_eIF), i.m_strName.c_str());
    std::cout << line;
  }
  std::cout << std::flush;
}

// Notes that the list changed; the main thread prints it, so that printing
// never runs on the monitor's thread.
class CChangeFlag : public IIFEvent {
 public:
  void OnIFNotify() override { m_bChanged = true; }
  void OnIFError(int32_t iError) override {
    m_iError = iError;
    m_bChanged = true;
  }
  std::atomic<bool> m_bChanged{false};
  std::atomic<int32_t> m_iError{0};
};

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  bool watch = false, asJson = false;
  for (const auto& a : args) {
    if (a == "--watch") watch = true;
    else if (a == "--json") asJson = true;
    else return tool::UsageError(kCommand, "unknown argument '" + a + "'");
  }
  CIFMonitor& monitor = CIFMonitor::GetInstance();
  CIFList list;
  if (!watch) {
    int r = monitor.RefreshAddressList(list);
    if (r != 0) return tool::Fail("the interface list could not be read (iRet = " + std::to_string(r) + ")");
    Print(list, asJson, "");
    return 0;
  }

  // The monitor's thread must start with SIGINT and SIGTERM blocked, so that
  // they reach this thread's sigtimedwait and end the watch cleanly.
  sigset_t stopSignals = platform::BlockStopSignals();

  CChangeFlag listener;
  int r = monitor.Register(&listener, list);
  if (r != 0) {
    monitor.Stop();
    return tool::Fail("the interface monitor did not start (iRet = " + std::to_string(r) + ")");
  }
  Print(list, asJson, TimeText(asJson));
  const struct timespec tick = {0, 50 * 1000 * 1000};
  for (;;) {
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (!listener.m_bChanged.exchange(false)) continue;
    int32_t error = listener.m_iError.exchange(0);
    if (error != 0) std::cerr << "vci-ident-tool: the interface monitor reported error " << error << "\n";
    if (monitor.GetIFList(list) == 0) Print(list, asJson, TimeText(asJson));
  }
  monitor.Unregister(&listener);
  monitor.Stop();
  return 0;
}

}  // namespace
