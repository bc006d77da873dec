// CBtWorld: what the simulated radio sees and holds. The devices in range
// (or known and out of range) with their friendly names, pairing behaviour,
// link keys and faults; the stack's timing and faults; and the links the
// stack has open, each with its channels (a pairing connect's channel, or the
// personal-area network's). Plain data and bookkeeping, no input or output:
// the simulator drives it from one thread.
//
// It is described by JSON, read from the world file and merged by the
// control commands (see kWorldHelp), and described back by Describe().
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace btsim {

// The "world" section of vci-btsim --help.
extern const char kWorldHelp[];

struct SimDevice {
  std::string address;  // lower-case text, the key
  std::string name;     // friendly name
  bool inRange = true;
  bool paired = false;           // has a link key
  bool pairingAccepted = true;   // pairing succeeds (with the right PIN)
  std::string pin;               // the PIN it insists on; empty: any
  std::set<std::string> faults;  // "name-error", "name-empty", "connect-error"
  // A VCI: the simulated VCI that its personal-area network leads to.
  bool isVci = false;
  uint32_t serial = 0;
  std::vector<std::string> vciArgs;  // further vci-sim options

  bool Has(const char* fault) const { return faults.count(fault) != 0; }
};

class CBtWorld {
 public:
  // Merges a world object: settings given replace those in force, each
  // device is merged by its address into the device of that address or
  // added. Nothing changes when anything in it is wrong (error tells).
  bool Merge(const nlohmann::json& world, std::string& error);
  bool MergeDevice(const nlohmann::json& device, std::string& error);

  uint32_t ScanTimeMs() const { return m_uiScanTimeMs; }
  uint32_t ReplyTimeMs() const { return m_uiReplyTimeMs; }
  bool Has(const char* fault) const { return m_Faults.count(fault) != 0; }
  const std::vector<SimDevice>& Devices() const { return m_Devices; }
  const SimDevice* Find(const std::string& address) const;
  SimDevice* Find(const std::string& address) {
    return const_cast<SimDevice*>(static_cast<const CBtWorld*>(this)->Find(address));
  }

  // The PIN set for automatic replies to a device ("" when none).
  void SetPin(const std::string& address, const std::string& pin);
  std::string Pin(const std::string& address) const;

  // Links and channels. OpenChannel makes the device's link when it has
  // none and answers the new channel's CID; CloseChannel closes one (the
  // link goes with its last channel): false for an unknown CID.
  uint16_t OpenChannel(const std::string& address, bool pan);
  bool CloseChannel(uint16_t cid);
  // The channels of the links to devices out of range.
  std::vector<uint16_t> ChannelsOutOfRange() const;
  bool IsConnected(const std::string& address) const;
  // [{"address", "handle"}], one per link; [{"cid", "handle"}], one per channel.
  nlohmann::json ConnectedList() const;
  nlohmann::json CidList() const;

  // The settings, devices, links and channels as one object.
  nlohmann::json Describe() const;

 private:
  struct CLink {
    std::string address;
    uint16_t handle;
  };
  struct CChannel {
    uint16_t handle;
    bool pan;
  };

  bool Apply(const nlohmann::json& world, std::string& error);
  static bool ApplyDevice(const nlohmann::json& device, SimDevice& d, std::string& error);
  const CLink* LinkOf(uint16_t handle) const;

  uint32_t m_uiScanTimeMs = 2000;
  uint32_t m_uiReplyTimeMs = 100;
  std::set<std::string> m_Faults;  // "discovery-error", "discovery-endless"
  std::vector<SimDevice> m_Devices;  // in the order they were added: the order of discovery
  std::map<std::string, std::string> m_Pins;
  std::vector<CLink> m_Links;
  std::map<uint16_t, CChannel> m_Channels;  // by CID
  uint16_t m_uiNextHandle = 0x000B;
  uint16_t m_uiNextCid = 0x0040;
};

}  // namespace btsim
