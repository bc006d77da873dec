#include "VciText.h"

#include <cstdio>
#include <map>

#include "vci-ident/IdentResult.h"

using namespace vciident;

namespace {

std::string StateText(uint32_t state) {
  return state == MODULE_STATE_RECOVERY ? "2 recovery" : std::to_string(state);
}

std::string HeardOn(const VciInfo& vci) {
  std::string text;
  for (const VciAddress& a : vci.addresses) text += (text.empty() ? "" : ", ") + KindName(a.kind) + " " + a.address;
  return text.empty() ? (vci.bluetooth ? "Bluetooth only" : "-") : text;
}

std::string Row(const VciInfo& vci) {
  char line[512];
  std::snprintf(line, sizeof line, "%-8u  %-10s  %-4u  %-36s  %-10s  %4zu  %s", vci.serial, StateText(vci.moduleState).c_str(),
                vci.moduleType, HeardOn(vci).c_str(), vci.productVersion.empty() ? "-" : vci.productVersion.c_str(),
                vci.applications.size(), vci.bluetooth ? "yes" : "no");
  return line;
}

std::string SoftwareText(const std::vector<VciSoftware>& list) {
  std::string text;
  for (const VciSoftware& s : list) text += (text.empty() ? "" : ", ") + s.name + " " + s.version;
  return text.empty() ? "-" : text;
}

}  // namespace

std::string TableText(const std::vector<VciInfo>& table, const std::set<uint32_t>& highlight) {
  char header[256];
  std::snprintf(header, sizeof header, "%-8s  %-10s  %-4s  %-36s  %-10s  %4s  %s\n", "SERIAL", "STATE", "TYPE",
                "HEARD ON", "VERSION", "APPS", "BLUETOOTH");
  std::string text = header;
  for (const VciInfo& vci : table) {
    const bool mark = highlight.count(vci.serial) != 0;
    text += (mark ? "\033[7m" : "") + Row(vci) + (mark ? "\033[0m" : "") + "\n";
  }
  return text;
}

std::string VciText(const VciInfo& vci, const std::vector<VciBinding>& bindings) {
  std::string heard;
  for (const VciAddress& a : vci.addresses) {
    std::string via;
    for (const VciBinding& b : bindings)
      if (b.vciAddress == a.address)
        for (const std::string& local : b.localAddresses) via += (via.empty() ? " via " : ", ") + local;
    heard += (heard.empty() ? "" : "; ") + KindName(a.kind) + " " + a.address + via;
  }
  std::string sessions;
  for (const VciSession& s : vci.sessions)
    sessions += (sessions.empty() ? "" : "; ") + std::to_string(s.number) + " " + s.text1 + " / " + s.text2 + " at " +
                s.address + " (" + KindsText(s.kind) + ")";
  std::string wireless = "not reported";
  if (vci.wireless.reported && !vci.wireless.enabled) wireless = "off";
  if (vci.wireless.enabled)
    wireless = "ap-state " + std::to_string(vci.wireless.apState) + ", link quality " +
               std::to_string(vci.wireless.linkQuality) + " (raw " + std::to_string(vci.wireless.linkQualityRaw) +
               "), signal " + std::to_string(vci.wireless.signalLevel) + ", noise " +
               std::to_string(vci.wireless.noiseLevel);
  const std::pair<const char*, std::string> lines[] = {
      {"module state", StateText(vci.moduleState)},
      {"module type", std::to_string(vci.moduleType)},
      {"heard on", heard.empty() ? (vci.bluetooth ? "Bluetooth only" : "-") : heard},
      {"product", "version " + (vci.productVersion.empty() ? "-" : vci.productVersion) + ", date " +
                      (vci.productDate.empty() ? "-" : vci.productDate)},
      {"applications", SoftwareText(vci.applications)},
      {"app components", SoftwareText(vci.appComponents)},
      {"sys components", SoftwareText(vci.sysComponents)},
      {"sessions", sessions.empty() ? "-" : sessions},
      {"wireless", wireless},
      {"Bluetooth", vci.bluetooth ? "yes" : "no"},
      {"legacy", vci.legacy ? "yes" : "no"},
  };
  std::string text = "VCI " + std::to_string(vci.serial) + "\n";
  for (const auto& line : lines) {
    char label[32];
    std::snprintf(label, sizeof label, "  %-16s", line.first);
    text += label + line.second + "\n";
  }
  return text;
}

std::set<uint32_t> ChangedSerials(const std::vector<VciInfo>& before, const std::vector<VciInfo>& after) {
  std::map<uint32_t, std::string> old;
  for (const VciInfo& vci : before) old[vci.serial] = VciText(vci, {});
  std::set<uint32_t> changed;
  for (const VciInfo& vci : after) {
    const auto it = old.find(vci.serial);
    if (it == old.end() || it->second != VciText(vci, {})) changed.insert(vci.serial);
  }
  return changed;
}
