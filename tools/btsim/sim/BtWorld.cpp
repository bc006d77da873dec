#include "BtWorld.h"

#include <algorithm>
#include <cstring>

#include "BtSimWire.h"

namespace btsim {

const char kWorldHelp[] =
    "The world (--world FILE, and the commands world and device): a JSON object\n"
    "with any of these keys, no others:\n"
    "  scan_time_ms N       time from an inquiry's START to its END (default 2000);\n"
    "                       the devices in range are FOUND in between, in order\n"
    "  reply_time_ms N      time a name request or a connect takes (default 100)\n"
    "  faults [NAME...]     discovery-error    inquiries end with ERROR, then END\n"
    "                       discovery-endless  inquiries never end by themselves\n"
    "                                          (BtCancelDiscoverRemoteDevice or\n"
    "                                          the session's close ends them)\n"
    "  devices [DEVICE...]  each merged by its address into the device of that\n"
    "                       address, or added (the order of adding is the order\n"
    "                       of discovery)\n"
    "A device, with any of these keys, no others:\n"
    "  address TEXT         \"xx:xx:xx:xx:xx:xx\", hexadecimal (required)\n"
    "  name TEXT            friendly name, at most 248 bytes (default \"\"). A VCI's\n"
    "                       name takes one of two forms: \"VTX5-12345678:2.1.7:R0\"\n"
    "                       (VTX, type digit, one character, serial, \":\", firmware\n"
    "                       version, \":\", R1 for the revised module, else R0) or\n"
    "                       \"ABCD-12345678-0A:1B:2C\" (exactly 22 characters, the\n"
    "                       serial at 5 to 12); any other name is no VCI's\n"
    "  in_range BOOL        answers inquiries, name requests and connects (default\n"
    "                       true); leaving range drops its links\n"
    "  paired BOOL          has a link key (default false)\n"
    "  pairing BOOL         pairing succeeds (default true)\n"
    "  pin TEXT             the PIN it insists on when pairing (default \"\": any)\n"
    "  faults [NAME...]     name-error     name requests end with ERROR, then END\n"
    "                       name-empty     name requests find an empty name\n"
    "                       connect-error  connects end with ERROR, then END\n"
    "  serial N             a VCI: its personal-area network leads to a simulated\n"
    "                       VCI (vci-sim) with this serial number\n"
    "  vci_args [TEXT...]   further vci-sim options for that VCI, such as\n"
    "                       [\"--interval\", \"200\"] or [\"--identity\", \"vci.json\"]\n";

namespace {

const std::set<std::string> kWorldFaults = {"discovery-error", "discovery-endless"};
const std::set<std::string> kDeviceFaults = {"name-error", "name-empty", "connect-error"};

bool Fail(std::string& error, const std::string& text) {
  error = text;
  return false;
}

bool ReadBool(const nlohmann::json& v, const std::string& key, bool& out, std::string& error) {
  if (!v.is_boolean()) return Fail(error, key + " must be true or false");
  out = v.get<bool>();
  return true;
}

bool ReadString(const nlohmann::json& v, const std::string& key, size_t max, std::string& out, std::string& error) {
  if (!v.is_string() || v.get_ref<const std::string&>().size() > max)
    return Fail(error, key + " must be a text of at most " + std::to_string(max) + " bytes");
  out = v.get<std::string>();
  return true;
}

bool ReadNumber(const nlohmann::json& v, const std::string& key, uint32_t max, uint32_t& out, std::string& error) {
  if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
    return Fail(error, key + " must be a number 0.." + std::to_string(max));
  out = v.get<uint32_t>();
  return true;
}

bool ReadFaults(const nlohmann::json& v, const std::set<std::string>& known, std::set<std::string>& out,
                std::string& error) {
  std::set<std::string> faults;
  for (const auto& f : v.is_array() ? v : nlohmann::json::array({nullptr})) {
    if (!f.is_string() || !known.count(f.get<std::string>())) {
      std::string names;
      for (const std::string& k : known) names += " " + k;
      return Fail(error, "faults must be a list of:" + names);
    }
    faults.insert(f.get<std::string>());
  }
  out = faults;
  return true;
}

}  // namespace

bool CBtWorld::Merge(const nlohmann::json& world, std::string& error) {
  CBtWorld merged = *this;
  if (!merged.Apply(world, error)) return false;
  *this = merged;
  return true;
}

bool CBtWorld::MergeDevice(const nlohmann::json& device, std::string& error) {
  return Merge({{"devices", nlohmann::json::array({device})}}, error);
}

bool CBtWorld::Apply(const nlohmann::json& world, std::string& error) {
  if (!world.is_object()) return Fail(error, "the world must be a JSON object");
  for (const auto& item : world.items()) {
    const std::string& key = item.key();
    const nlohmann::json& v = item.value();
    if (key == "scan_time_ms" || key == "reply_time_ms") {
      if (!ReadNumber(v, key, 3600000, key == "scan_time_ms" ? m_uiScanTimeMs : m_uiReplyTimeMs, error)) return false;
    } else if (key == "faults") {
      if (!ReadFaults(v, kWorldFaults, m_Faults, error)) return false;
    } else if (key == "devices") {
      if (!v.is_array()) return Fail(error, "devices must be a list of objects");
      for (const auto& d : v) {
        uint8_t bytes[6];
        if (!d.is_object() || !d.contains("address") || !d["address"].is_string() ||
            !ParseAddress(d["address"].get<std::string>(), bytes))
          return Fail(error, "every device needs an address \"xx:xx:xx:xx:xx:xx\"");
        const std::string address = AddressText(bytes);
        SimDevice* device = Find(address);
        if (!device) {
          m_Devices.emplace_back();
          device = &m_Devices.back();
          device->address = address;
        }
        if (!ApplyDevice(d, *device, error)) return Fail(error, address + ": " + error);
      }
    } else {
      return Fail(error, "unknown key '" + key + "'");
    }
  }
  return true;
}

bool CBtWorld::ApplyDevice(const nlohmann::json& device, SimDevice& d, std::string& error) {
  for (const auto& item : device.items()) {
    const std::string& key = item.key();
    const nlohmann::json& v = item.value();
    bool ok = true;
    if (key == "address") {
    } else if (key == "name") {
      ok = ReadString(v, key, 248, d.name, error);
    } else if (key == "in_range") {
      ok = ReadBool(v, key, d.inRange, error);
    } else if (key == "paired") {
      ok = ReadBool(v, key, d.paired, error);
    } else if (key == "pairing") {
      ok = ReadBool(v, key, d.pairingAccepted, error);
    } else if (key == "pin") {
      ok = ReadString(v, key, 16, d.pin, error);
    } else if (key == "faults") {
      ok = ReadFaults(v, kDeviceFaults, d.faults, error);
    } else if (key == "serial") {
      ok = ReadNumber(v, key, 0xFFFFFFFFu, d.serial, error);
      d.isVci = ok;
    } else if (key == "vci_args") {
      ok = v.is_array() && std::all_of(v.begin(), v.end(), [](const nlohmann::json& a) { return a.is_string(); });
      if (!ok) return Fail(error, "vci_args must be a list of texts");
      d.vciArgs = v.get<std::vector<std::string>>();
    } else {
      return Fail(error, "unknown key '" + key + "'");
    }
    if (!ok) return false;
  }
  return true;
}

const SimDevice* CBtWorld::Find(const std::string& address) const {
  for (const SimDevice& d : m_Devices)
    if (d.address == address) return &d;
  return nullptr;
}

void CBtWorld::SetPin(const std::string& address, const std::string& pin) {
  if (pin.empty())
    m_Pins.erase(address);
  else
    m_Pins[address] = pin;
}

std::string CBtWorld::Pin(const std::string& address) const {
  auto it = m_Pins.find(address);
  return it == m_Pins.end() ? std::string() : it->second;
}

uint16_t CBtWorld::OpenChannel(const std::string& address, bool pan) {
  auto link = std::find_if(m_Links.begin(), m_Links.end(), [&](const CLink& l) { return l.address == address; });
  uint16_t handle;
  if (link != m_Links.end()) {
    handle = link->handle;
  } else {
    handle = m_uiNextHandle++;
    m_Links.push_back({address, handle});
  }
  const uint16_t cid = m_uiNextCid++;
  m_Channels[cid] = {handle, pan};
  return cid;
}

bool CBtWorld::CloseChannel(uint16_t cid) {
  auto it = m_Channels.find(cid);
  if (it == m_Channels.end()) return false;
  const uint16_t handle = it->second.handle;
  m_Channels.erase(it);
  for (const auto& c : m_Channels)
    if (c.second.handle == handle) return true;
  m_Links.erase(std::find_if(m_Links.begin(), m_Links.end(), [&](const CLink& l) { return l.handle == handle; }));
  return true;
}

std::vector<uint16_t> CBtWorld::ChannelsOutOfRange() const {
  std::vector<uint16_t> cids;
  for (const auto& c : m_Channels) {
    const SimDevice* d = Find(LinkOf(c.second.handle)->address);
    if (!d || !d->inRange) cids.push_back(c.first);
  }
  return cids;
}

bool CBtWorld::IsConnected(const std::string& address) const {
  return std::any_of(m_Links.begin(), m_Links.end(), [&](const CLink& l) { return l.address == address; });
}

const CBtWorld::CLink* CBtWorld::LinkOf(uint16_t handle) const {
  for (const CLink& l : m_Links)
    if (l.handle == handle) return &l;
  return nullptr;
}

nlohmann::json CBtWorld::ConnectedList() const {
  nlohmann::json list = nlohmann::json::array();
  for (const CLink& l : m_Links) list.push_back({{"address", l.address}, {"handle", l.handle}});
  return list;
}

nlohmann::json CBtWorld::CidList() const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& c : m_Channels) list.push_back({{"cid", c.first}, {"handle", c.second.handle}});
  return list;
}

nlohmann::json CBtWorld::Describe() const {
  nlohmann::json devices = nlohmann::json::array();
  for (const SimDevice& d : m_Devices) {
    nlohmann::json j = {{"address", d.address}, {"name", d.name},      {"in_range", d.inRange},
                        {"paired", d.paired},   {"pairing", d.pairingAccepted}, {"pin", d.pin},
                        {"faults", d.faults},   {"connected", IsConnected(d.address)}};
    if (d.isVci) {
      j["serial"] = d.serial;
      j["vci_args"] = d.vciArgs;
    }
    devices.push_back(j);
  }
  nlohmann::json links = nlohmann::json::array();
  for (const CLink& l : m_Links) {
    nlohmann::json channels = nlohmann::json::array();
    for (const auto& c : m_Channels)
      if (c.second.handle == l.handle) channels.push_back({{"cid", c.first}, {"pan", c.second.pan}});
    links.push_back({{"address", l.address}, {"handle", l.handle}, {"channels", channels}});
  }
  return {{"scan_time_ms", m_uiScanTimeMs}, {"reply_time_ms", m_uiReplyTimeMs}, {"faults", m_Faults},
          {"devices", devices}, {"links", links}};
}

}  // namespace btsim
