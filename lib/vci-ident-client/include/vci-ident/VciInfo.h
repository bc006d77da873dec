// What an application learns from the identification service, as plain
// values: the VCIs it knows (one VciInfo each), which local interfaces reach
// each VCI address, and the service's own identity. Copies, never shared with
// the library's threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vciident {

// Interface kinds on which a VCI can be heard; a set of kinds is their OR.
constexpr uint32_t KIND_ETHERNET = 1;
constexpr uint32_t KIND_USB = 2;
constexpr uint32_t KIND_WIRELESS = 4;
constexpr uint32_t KIND_LOCAL = 8;
constexpr uint32_t KIND_BLUETOOTH = 16;

// The module states that have a name (ModuleStateName).
constexpr uint32_t MODULE_STATE_FREE = 0;
constexpr uint32_t MODULE_STATE_IN_USE = 1;
constexpr uint32_t MODULE_STATE_RECOVERY = 2;

struct VciAddress {
  uint32_t kind = 0;  // one KIND_ bit
  std::string address;
};

// An application or component installed on a VCI.
struct VciSoftware {
  std::string name;
  std::string version;
};

// A session open on a VCI, as the VCI last announced it.
struct VciSession {
  uint32_t number = 0;
  std::string text1;
  std::string text2;
  std::string address;
  uint32_t kind = 0;
  bool flag = false;
};

// The VCI's wireless interface; reported is false when the VCI said nothing
// about one, and the numbers count only when enabled is true.
struct VciWireless {
  bool reported = false;
  bool enabled = false;
  int32_t apState = 0;
  int32_t linkQuality = 0;  // zone
  int32_t linkQualityRaw = 0;
  int32_t signalLevel = 0;
  int32_t noiseLevel = 0;
};

struct VciInfo {
  uint32_t serial = 0;
  uint32_t moduleState = 0;
  uint32_t moduleType = 0;
  // The kinds the VCI is heard on now, and its address on each of them (in
  // kind order); a kind it fell silent on is in neither.
  uint32_t kinds = 0;
  std::vector<VciAddress> addresses;
  // As the VCI reports them (decimal or hexadecimal text; ProductVersionText
  // shows the version in one form); empty when not known yet.
  std::string productVersion;
  std::string productDate;
  std::vector<VciSoftware> applications;
  std::vector<VciSoftware> appComponents;
  std::vector<VciSoftware> sysComponents;
  std::vector<VciSession> sessions;
  VciWireless wireless;
  bool bluetooth = false;  // also known to the Bluetooth discovery
  bool legacy = false;     // announced with the legacy format or no device token
};

// The local interface addresses through which one VCI address answered, the
// one in use first.
struct VciBinding {
  std::string vciAddress;
  std::vector<std::string> localAddresses;
};

// The service as it answered the registration.
struct ServiceInfo {
  uint32_t sessionId = 0;
  // One byte per part of the product version, the first part in the highest
  // byte that the parts reach (VersionText shows it).
  uint32_t versionNumber = 0;
  // Year (low byte only), month and day in the three upper bytes
  // (BuildDateText shows it).
  uint32_t buildDate = 0;
  // Changes when the service restarts or when its last client leaves.
  uint32_t instanceToken = 0;
  std::string productName;
};

}  // namespace vciident
