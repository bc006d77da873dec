// engine: the service's discovery engine alone, on this machine's
// interfaces, printing the VCI table and the bindings after every change it
// reports. The field engineer's view of what the service would list to its
// client applications, without the control port and without clients.
#include <signal.h>

#include <chrono>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

#include "RecordJson.h"
#include "ToolCommand.h"
#include "discovery/VCIIdentClient.h"
#include "host/Brand.h"
#include "netif/IFList.h"
#include "platform/Registry.h"
#include "platform/StopSignals.h"
#include "records/VCIStatusMap.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool engine [--json] [--seconds N]\n\n"
    "Runs the service's discovery engine alone on this machine's interfaces\n"
    "(no control port, no client applications) and prints the VCI table and\n"
    "the address bindings every time the engine reports a change: what the\n"
    "service would list to its clients. It works on the installation as the\n"
    "service does ($VCI_IDENT_REGISTRY): the value Brand must resolve, and the\n"
    "detail cache in data_files under IdentServiceDefaultLocation is read at\n"
    "start and written after every fetch. Run it instead of the service, not\n"
    "beside it.\n\n"
    "  --json       one JSON object per report: {\"time\", \"type\", \"value\",\n"
    "               \"vcis\": CVCIStatusMap, \"bindings\": CBindMap}, the records in\n"
    "               the shape decode prints\n"
    "  --seconds N  stop after N seconds (default: run until interrupted)\n\n"
    "Exit status: 0 after a stop, 1 when the engine does not start, 2 for a\n"
    "usage error.\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"engine", "run the discovery engine and print what it lists", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

// Queues the engine's reports; the main thread prints them, so that no
// printing runs on an engine thread.
class CReportQueue : public IIdentEvent {
 public:
  void OnIdentNotify(uint32_t type, uint32_t value) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Reports.emplace_back(type, value);
  }
  void OnIdentUsb(uint32_t) override {}
  bool Take(std::pair<uint32_t, uint32_t>& report) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Reports.empty()) return false;
    report = m_Reports.front();
    m_Reports.pop_front();
    return true;
  }

 private:
  std::mutex m_Lock;
  std::deque<std::pair<uint32_t, uint32_t>> m_Reports;  // Guarded by m_Lock.
};

std::string Describe(uint32_t type, uint32_t value) {
  if (type == CVCIIdentClient::EVENT_VCI_STATUS) {
    std::string what;
    if (value & CVCIIdentClient::EVENT_TABLE_CHANGED) what = "table";
    if (value & CVCIIdentClient::EVENT_BINDINGS_CHANGED) what += what.empty() ? "bindings" : " and bindings";
    return what + " changed";
  }
  if (type == CVCIIdentClient::EVENT_BT_ERROR) return "Bluetooth error " + std::to_string(value);
  return "interface monitor error (" + std::to_string(type) + ", " + std::to_string(value) + ")";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : separator) + p;
  return out.empty() ? "-" : out;
}

void PrintText(const CVCIStatusMap& vcis, const CBindMap& bindings) {
  char line[512];
  snprintf(line, sizeof line, "%-10s %-18s %-30s %-4s %-5s %-10s %-10s %s\n", "SERIAL", "KINDS", "ADDRESSES", "TYPE",
           "STATE", "VERSION", "DATE", "APPLICATIONS");
  std::cout << line;
  for (const auto& entry : vcis.m_Map) {
    const CVCIStatus& s = entry.second;
    std::vector<std::string> kinds, addresses, apps;
    for (int32_t kind = IF_ETHERNET; kind <= IF_BLUETOOTH; kind <<= 1)
      if (s.m_uiKinds & static_cast<uint32_t>(kind)) kinds.push_back(GetIFKindName(kind));
    if (s.m_bLegacy) kinds.push_back("legacy");
    if (s.m_bBluetooth) kinds.push_back("BT");
    for (const auto& a : s.m_Addresses) addresses.push_back(a.second);
    for (const auto& a : s.m_Apps.GetApps())
      apps.push_back(a.second.m_AppVersion.GetName() + " " + a.second.m_AppVersion.GetVersionText());
    std::string version = "-", date = "-";
    s.m_DeviceInfo.GetValue("ProductVersion", version);
    s.m_DeviceInfo.GetValue("ProductDate", date);
    snprintf(line, sizeof line, "%-10u %-18s %-30s %-4u %-5u %-10s %-10s ", entry.first, Joined(kinds, ",").c_str(),
             Joined(addresses, ",").c_str(), s.m_uiModuleType, s.m_uiModuleState, version.c_str(), date.c_str());
    std::cout << line << Joined(apps, ", ") << "\n";
  }
  for (const auto& foreign : bindings.m_Map) {
    std::vector<std::string> locals;
    for (const auto& b : foreign.second) locals.push_back(b.m_strLocal);
    std::cout << "binding " << foreign.first << " -> " << Joined(locals, ", ") << "\n";
  }
}

void Report(CVCIIdentClient& engine, uint32_t type, uint32_t value, bool asJson) {
  CVCIStatusMap vcis;
  CBindMap bindings;
  engine.GetVCIStatusMap(vcis);
  engine.GetBindMap(bindings);
  if (asJson) {
    nlohmann::ordered_json out;
    out["time"] = TimeText(true);
    out["type"] = type;
    out["value"] = value;
    out["vcis"] = recordjson::ToJson(vcis);
    out["bindings"] = recordjson::ToJson(bindings);
    tool::PrintJson(out, true);
    return;
  }
  std::cout << TimeText(true) << " " << Describe(type, value) << ": " << vcis.Count() << " VCI"
            << (vcis.Count() == 1 ? "" : "s") << "\n";
  PrintText(vcis, bindings);
  std::cout << std::endl;
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  bool asJson = false;
  unsigned long long seconds = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      asJson = true;
    } else if (args[i] == "--seconds") {
      if (i + 1 >= args.size() || !tool::ParseNumber(args[++i], seconds) || seconds == 0)
        return tool::UsageError(kCommand, "--seconds needs a number of seconds above 0");
    } else {
      return tool::UsageError(kCommand, "unknown argument '" + args[i] + "'");
    }
  }
  uint32_t brand = 0;
  if (!GetBrand(brand))
    return tool::Fail(std::string("no brand: the value Brand under HKEY_LOCAL_MACHINE\\") + VCI_REGISTRY_KEY + " in " +
                      platform::RegistryFilePath() + " is missing or names no brand (see vci-ident-tool brand)");

  sigset_t stopSignals = platform::BlockStopSignals();

  CReportQueue reports;
  CVCIIdentClient engine;
  bool bluetooth = false;
  int32_t r = engine.Initialize(&reports, bluetooth);
  if (r != 0) {
    engine.Uninitialize();
    CIFMonitor::GetInstance().Stop();
    return tool::Fail("the discovery engine did not start (iRet = " + std::to_string(r) + ")");
  }
  std::cerr << "vci-ident-tool: discovery engine running (brand " << brand << ")" << std::endl;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  const struct timespec tick = {0, 50 * 1000 * 1000};
  for (;;) {
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) break;
    std::pair<uint32_t, uint32_t> report;
    while (reports.Take(report)) Report(engine, report.first, report.second, asJson);
    if (seconds != 0 && std::chrono::steady_clock::now() >= until) break;
  }
  engine.Uninitialize();
  CIFMonitor::GetInstance().Stop();
  return 0;
}

}  // namespace
