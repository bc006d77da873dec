#include "BluezObjects.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace bluez {

const char kService[] = "org.bluez";
const char kAdapterInterface[] = "org.bluez.Adapter1";
const char kDeviceInterface[] = "org.bluez.Device1";
const char kNetworkInterface[] = "org.bluez.Network1";

namespace {

int ReadValue(sd_bus_message* m, CValue& v) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r <= 0 || type != SD_BUS_TYPE_VARIANT || !contents) return r < 0 ? r : -EBADMSG;
  if (strlen(contents) != 1 || !strchr("sobnqiu", contents[0])) return sd_bus_message_skip(m, "v");
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents)) < 0) return r;
  v.type = contents[0];
  switch (v.type) {
    case 's':
    case 'o': {
      const char* s = nullptr;
      r = sd_bus_message_read_basic(m, v.type, &s);
      if (r > 0 && s) v.s = s;
      break;
    }
    case 'b': {
      int b = 0;
      r = sd_bus_message_read_basic(m, 'b', &b);
      v.b = b != 0;
      break;
    }
    case 'n': {
      int16_t n = 0;
      r = sd_bus_message_read_basic(m, 'n', &n);
      v.i = n;
      break;
    }
    case 'q': {
      uint16_t q = 0;
      r = sd_bus_message_read_basic(m, 'q', &q);
      v.i = q;
      break;
    }
    case 'i': {
      int32_t i = 0;
      r = sd_bus_message_read_basic(m, 'i', &i);
      v.i = i;
      break;
    }
    default: {
      uint32_t u = 0;
      r = sd_bus_message_read_basic(m, 'u', &u);
      v.i = u;
      break;
    }
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

bool Flag(const CProps& props, const char* name) {
  auto it = props.find(name);
  return it != props.end() && it->second.type == 'b' && it->second.b;
}

std::string Text(const CProps& props, const char* name) {
  auto it = props.find(name);
  return it != props.end() && (it->second.type == 's' || it->second.type == 'o') ? it->second.s : std::string();
}

}  // namespace

namespace {

// Reads a{KV}, the entry's signature "KV" given: each entry's key (a string
// or object path) to readValue, which reads the value.
template <typename ReadValue>
int ReadDict(sd_bus_message* m, const char* entry, ReadValue readValue) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, (std::string("{") + entry + "}").c_str());
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, entry)) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, entry[0], &key)) < 0 || (r = readValue(key)) < 0 ||
        (r = sd_bus_message_exit_container(m)) < 0)
      return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace

int ReadProps(sd_bus_message* m, CProps& out) {
  return ReadDict(m, "sv", [&](const char* name) {
    CValue v;
    const int r = ReadValue(m, v);
    if (r >= 0 && v.type) out[name] = v;
    return r;
  });
}

int ReadInterfaces(sd_bus_message* m, CInterfaces& out) {
  return ReadDict(m, "sa{sv}", [&](const char* name) { return ReadProps(m, out[name]); });
}

int ReadObjects(sd_bus_message* m, CObjects& out) {
  const int r = ReadDict(m, "oa{sa{sv}}", [&](const char* path) {
    CInterfaces interfaces;
    const int read = ReadInterfaces(m, interfaces);
    if (read >= 0) out.Add(path, interfaces);
    return read;
  });
  auto byPath = [](const auto& a, const auto& b) { return a.path < b.path; };
  std::sort(out.adapters.begin(), out.adapters.end(), byPath);
  std::sort(out.devices.begin(), out.devices.end(), byPath);
  return r;
}

void CObjects::Add(const std::string& path, const CInterfaces& interfaces) {
  auto adapter = interfaces.find(kAdapterInterface);
  if (adapter != interfaces.end()) adapters.push_back({path, Flag(adapter->second, "Powered")});
  if (interfaces.count(kDeviceInterface)) devices.push_back(MakeDevice(path, interfaces));
}

const CDevice* CObjects::FindDevice(const std::string& address) const {
  for (const CDevice& d : devices)
    if (d.address == address) return &d;
  return nullptr;
}

const CAdapter* CObjects::FirstPoweredAdapter() const {
  for (const CAdapter& a : adapters)
    if (a.powered) return &a;
  return nullptr;
}

CDevice MakeDevice(const std::string& path, const CInterfaces& interfaces) {
  CDevice d;
  d.path = path;
  auto device = interfaces.find(kDeviceInterface);
  if (device != interfaces.end()) {
    const CProps& p = device->second;
    d.adapter = Text(p, "Adapter");
    d.address = AddressText(Text(p, "Address"));
    d.name = Text(p, "Name");
    d.paired = Flag(p, "Paired");
    d.connected = Flag(p, "Connected");
    d.inRange = p.count("RSSI") != 0;
  }
  if (d.address.empty()) d.address = AddressFromPath(path);
  if (d.adapter.empty()) d.adapter = path.substr(0, path.rfind('/'));
  auto network = interfaces.find(kNetworkInterface);
  if (network != interfaces.end()) {
    d.network = true;
    d.networkConnected = Flag(network->second, "Connected");
  }
  return d;
}

std::string AddressText(const std::string& bluezAddress) {
  std::string out = bluezAddress;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return out;
}

std::string AddressFromPath(const std::string& path) {
  const size_t at = path.rfind("/dev_");
  if (at == std::string::npos || path.size() != at + 5 + 17) return "";
  std::string address = path.substr(at + 5);
  std::replace(address.begin(), address.end(), '_', ':');
  return AddressText(address);
}

}  // namespace bluez
