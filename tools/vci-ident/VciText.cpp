#include "VciText.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "vci-ident/IdentResult.h"

using namespace vciident;

namespace {

std::string HeardOn(const VciInfo& vci) {
  std::string text;
  for (const VciAddress& a : vci.addresses) text += (text.empty() ? "" : ", ") + KindName(a.kind) + " " + a.address;
  return text.empty() ? (vci.bluetooth ? "Bluetooth only" : "-") : text;
}

std::string VersionOf(const VciInfo& vci) {
  const std::string version = ProductVersionText(vci);
  return version.empty() ? "-" : version;
}

std::string SoftwareText(const std::vector<VciSoftware>& list) {
  std::string text;
  for (const VciSoftware& s : list) text += (text.empty() ? "" : ", ") + s.name + " " + s.version;
  return text.empty() ? "-" : text;
}

// A name with its number beside it, unless the name is the number.
std::string Named(const std::string& name, uint32_t number) {
  const std::string digits = std::to_string(number);
  return name == digits ? digits : name + " (" + digits + ")";
}

// What a change line tells of a VCI, in its order; the first value stands
// without its label on a "+" line.
std::vector<std::pair<const char*, std::string>> Values(const VciInfo& vci) {
  return {{"heard on", HeardOn(vci)},
          {"state", ModuleStateName(vci.moduleState)},
          {"type", ModuleTypeName(vci.moduleType)},
          {"version", VersionOf(vci)},
          {"applications", SoftwareText(vci.applications)},
          {"Bluetooth", vci.bluetooth ? "yes" : "no"}};
}

std::map<uint32_t, const VciInfo*> BySerial(const std::vector<VciInfo>& table) {
  std::map<uint32_t, const VciInfo*> out;
  for (const VciInfo& vci : table) out[vci.serial] = &vci;
  return out;
}

}  // namespace

std::string TableText(const std::vector<VciInfo>& table, const std::set<uint32_t>& highlight) {
  std::vector<std::vector<std::string>> rows = {{"SERIAL", "STATE", "TYPE", "HEARD ON", "VERSION", "APPS", "BLUETOOTH"}};
  for (const VciInfo& vci : table)
    rows.push_back({std::to_string(vci.serial), ModuleStateName(vci.moduleState), ModuleTypeName(vci.moduleType),
                    HeardOn(vci), VersionOf(vci), std::to_string(vci.applications.size()), vci.bluetooth ? "yes" : "no"});
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  std::string text;
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (size_t i = 0; i < rows[r].size(); ++i)
      line += i + 1 < rows[r].size() ? rows[r][i] + std::string(widths[i] - rows[r][i].size() + 2, ' ') : rows[r][i];
    const bool mark = r > 0 && highlight.count(table[r - 1].serial) != 0;
    text += (mark ? "\033[7m" : "") + line + (mark ? "\033[0m" : "") + "\n";
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
      {"module state", Named(ModuleStateName(vci.moduleState), vci.moduleState)},
      {"module type", Named(ModuleTypeName(vci.moduleType), vci.moduleType)},
      {"heard on", heard.empty() ? (vci.bluetooth ? "Bluetooth only" : "-") : heard},
      {"product", "version " + VersionOf(vci) + ", date " + (vci.productDate.empty() ? "-" : vci.productDate)},
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
  const std::map<uint32_t, const VciInfo*> old = BySerial(before);
  std::set<uint32_t> changed;
  for (const VciInfo& vci : after) {
    const auto it = old.find(vci.serial);
    if (it == old.end() || VciText(*it->second, {}) != VciText(vci, {})) changed.insert(vci.serial);
  }
  return changed;
}

std::vector<std::string> ChangeLines(const std::vector<VciInfo>& before, const std::vector<VciInfo>& after) {
  const std::map<uint32_t, const VciInfo*> old = BySerial(before), now = BySerial(after);
  std::vector<std::string> lines;
  for (const auto& entry : old)
    if (now.count(entry.first) == 0) lines.push_back("- " + std::to_string(entry.first));
  for (const auto& entry : now) {
    const std::string serial = std::to_string(entry.first);
    const auto values = Values(*entry.second);
    const auto it = old.find(entry.first);
    if (it == old.end()) {
      std::string line = "+ " + serial + " " + values[0].second;
      for (size_t i = 1; i < values.size(); ++i) line += std::string("; ") + values[i].first + " " + values[i].second;
      lines.push_back(line);
      continue;
    }
    const auto was = Values(*it->second);
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i].second != was[i].second)
        lines.push_back("= " + serial + " " + values[i].first + " " + values[i].second);
  }
  return lines;
}
