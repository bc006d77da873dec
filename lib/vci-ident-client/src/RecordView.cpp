#include "RecordView.h"

#include <cstdlib>

#include "records/BindMap.h"
#include "records/IdentConnect.h"
#include "records/VCIStatus.h"
#include "records/VCIStatusMap.h"

namespace vciident {

// The public header repeats the kind bits and the recovery state, since it
// must not include the service's own headers.
static_assert(KIND_ETHERNET == uint32_t(VCI_KIND_ETHERNET) && KIND_USB == uint32_t(VCI_KIND_USB) &&
                  KIND_WIRELESS == uint32_t(VCI_KIND_WIRELESS) && KIND_LOCAL == uint32_t(VCI_KIND_LOCAL) &&
                  KIND_BLUETOOTH == uint32_t(VCI_KIND_BLUETOOTH),
              "interface kind bits");
static_assert(MODULE_STATE_RECOVERY == VCI_MODULE_STATE_RECOVERY, "recovery state");

namespace {

std::string ValueOf(const CArgList& list, const char* name) {
  std::string value;
  list.GetValue(name, value);
  return value;
}

int32_t NumberOf(const CArgList& list, const char* name) {
  return static_cast<int32_t>(std::strtol(ValueOf(list, name).c_str(), nullptr, 10));
}

VciSoftware SoftwareOf(const CAppVersion& version) { return VciSoftware{version.GetName(), version.GetVersionText()}; }

std::vector<VciSoftware> SoftwareOf(const CCompList& list) {
  std::vector<VciSoftware> out;
  for (const auto& entry : list.GetComps()) out.push_back(SoftwareOf(entry.second.m_AppVersion));
  return out;
}

}  // namespace

VciInfo ViewOf(const CVCIStatus& status) {
  VciInfo vci;
  vci.serial = status.m_uiSerial;
  vci.moduleState = status.m_uiModuleState;
  vci.moduleType = status.m_uiModuleType;
  vci.kinds = status.m_uiKinds;
  // A status keeps the address of a kind the VCI fell silent on; only the
  // kind bits tell which addresses are current.
  for (const auto& address : status.m_Addresses)
    if ((status.m_uiKinds & address.first) != 0) vci.addresses.push_back(VciAddress{address.first, address.second});
  vci.productVersion = ValueOf(status.m_DeviceInfo, "ProductVersion");
  vci.productDate = ValueOf(status.m_DeviceInfo, "ProductDate");
  for (const auto& app : status.m_Apps.GetApps()) vci.applications.push_back(SoftwareOf(app.second.m_AppVersion));
  vci.appComponents = SoftwareOf(status.m_AppComps);
  vci.sysComponents = SoftwareOf(status.m_SysComps);
  for (const CSessionList::CSession& s : status.m_Sessions.m_Sessions)
    vci.sessions.push_back(VciSession{s.m_uiSession, s.m_strText1, s.m_strText2, s.m_strAddress, s.m_uiKind, s.m_bFlag});
  std::string enabled;
  vci.wireless.reported = status.m_Wireless.GetValue("IFEnable", enabled);
  vci.wireless.enabled = enabled == "True";
  if (vci.wireless.enabled) {
    vci.wireless.apState = NumberOf(status.m_Wireless, "ap-state");
    vci.wireless.linkQuality = NumberOf(status.m_Wireless, "link-quality");
    vci.wireless.linkQualityRaw = NumberOf(status.m_Wireless, "link-quality-raw");
    vci.wireless.signalLevel = NumberOf(status.m_Wireless, "signal-level");
    vci.wireless.noiseLevel = NumberOf(status.m_Wireless, "noise-level");
  }
  vci.bluetooth = status.m_bBluetooth;
  vci.legacy = status.m_bLegacy;
  return vci;
}

std::vector<VciInfo> ViewOf(const CVCIStatusMap& table) {
  std::vector<VciInfo> out;
  for (const auto& entry : table.m_Map) {
    out.push_back(ViewOf(entry.second));
    out.back().serial = entry.first;
  }
  return out;
}

std::vector<VciBinding> ViewOf(const CBindMap& bindings) {
  std::vector<VciBinding> out;
  for (const auto& entry : bindings.m_Map) {
    VciBinding binding{entry.first, {}};
    for (const CBindMap::Binding& b : entry.second) binding.localAddresses.push_back(b.m_strLocal);
    out.push_back(binding);
  }
  return out;
}

ServiceInfo ServiceOf(const CIdentConnect_Recv& reply) {
  ServiceInfo service;
  service.sessionId = reply.m_uiSessionId;
  service.versionNumber = reply.m_uiVersionNumber;
  service.buildDate = reply.m_uiBuildDate;
  service.instanceToken = reply.m_uiInstanceToken;
  service.productName = reply.m_strProductName;
  return service;
}

}  // namespace vciident
