#include "VciJson.h"

#include "vci-ident/IdentResult.h"

using nlohmann::json;
using namespace vciident;

namespace {

json SoftwareJson(const std::vector<VciSoftware>& list) {
  json out = json::array();
  for (const VciSoftware& s : list) out.push_back({{"name", s.name}, {"version", s.version}});
  return out;
}

json LocalAddresses(const std::string& address, const std::vector<VciBinding>& bindings) {
  for (const VciBinding& b : bindings)
    if (b.vciAddress == address) return b.localAddresses;
  return json::array();
}

}  // namespace

json VciJson(const VciInfo& vci, const std::vector<VciBinding>& bindings) {
  json kinds = json::array();
  for (uint32_t bit = 1; bit <= KIND_BLUETOOTH; bit <<= 1)
    if (vci.kinds & bit) kinds.push_back(KindName(bit));
  json addresses = json::array();
  for (const VciAddress& a : vci.addresses)
    addresses.push_back({{"kind", KindName(a.kind)}, {"address", a.address}, {"local", LocalAddresses(a.address, bindings)}});
  json sessions = json::array();
  for (const VciSession& s : vci.sessions)
    sessions.push_back({{"number", s.number}, {"text1", s.text1}, {"text2", s.text2}, {"address", s.address},
                        {"kind", s.kind}, {"flag", s.flag}});
  json wireless = nullptr;
  if (vci.wireless.reported) {
    wireless = {{"enabled", vci.wireless.enabled}};
    if (vci.wireless.enabled) {
      wireless["apState"] = vci.wireless.apState;
      wireless["linkQuality"] = vci.wireless.linkQuality;
      wireless["linkQualityRaw"] = vci.wireless.linkQualityRaw;
      wireless["signalLevel"] = vci.wireless.signalLevel;
      wireless["noiseLevel"] = vci.wireless.noiseLevel;
    }
  }
  return {{"serial", vci.serial},
          {"moduleState", vci.moduleState},
          {"moduleStateName", ModuleStateName(vci.moduleState)},
          {"moduleType", vci.moduleType},
          {"moduleTypeName", ModuleTypeName(vci.moduleType)},
          {"kinds", kinds},
          {"addresses", addresses},
          {"productVersion", ProductVersionText(vci)},
          {"productDate", vci.productDate},
          {"applications", SoftwareJson(vci.applications)},
          {"appComponents", SoftwareJson(vci.appComponents)},
          {"sysComponents", SoftwareJson(vci.sysComponents)},
          {"sessions", sessions},
          {"wireless", wireless},
          {"bluetooth", vci.bluetooth},
          {"legacy", vci.legacy}};
}

json TableJson(const std::vector<VciInfo>& table, const std::vector<VciBinding>& bindings) {
  json out = json::array();
  for (const VciInfo& vci : table) out.push_back(VciJson(vci, bindings));
  return out;
}

json BindingsJson(const std::vector<VciBinding>& bindings) {
  json out = json::array();
  for (const VciBinding& b : bindings) out.push_back({{"vci", b.vciAddress}, {"local", b.localAddresses}});
  return out;
}

json ServiceJson(const ServiceInfo& service) {
  return {{"productName", service.productName},
          {"version", VersionText(service.versionNumber)},
          {"versionNumber", service.versionNumber},
          {"buildDate", BuildDateText(service.buildDate)},
          {"instanceToken", service.instanceToken},
          {"sessionId", service.sessionId}};
}
