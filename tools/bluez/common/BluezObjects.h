// What the BlueZ stack and its companion read of bluetoothd's objects
// (org.bluez on the system bus): adapters and devices with the properties
// that matter here, from GetManagedObjects, InterfacesAdded and
// PropertiesChanged. Addresses are kept in the stack's text form (lower
// case), BlueZ's own being upper case.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bluez {

extern const char kService[];          // "org.bluez"
extern const char kAdapterInterface[];  // "org.bluez.Adapter1"
extern const char kDeviceInterface[];   // "org.bluez.Device1"
extern const char kNetworkInterface[];  // "org.bluez.Network1"

// One property value of the types read here (s, o, b, n, q, i, u); others
// are skipped.
struct CValue {
  char type = 0;
  bool b = false;
  int64_t i = 0;
  std::string s;
};
typedef std::map<std::string, CValue> CProps;
// Interface name to its properties.
typedef std::map<std::string, CProps> CInterfaces;

struct CAdapter {
  std::string path;
  bool powered = false;
};

struct CDevice {
  std::string path;
  std::string adapter;  // the adapter's object path
  std::string address;  // "aa:bb:cc:dd:ee:ff"
  std::string name;     // empty while BlueZ knows none
  bool paired = false;
  bool connected = false;
  bool inRange = false;  // has an RSSI: seen by the discovery that runs now
  bool network = false;  // has org.bluez.Network1
  bool networkConnected = false;
};

struct CObjects {
  std::vector<CAdapter> adapters;  // in object path order
  std::vector<CDevice> devices;    // in object path order

  // Adds one object's interfaces (what InterfacesAdded carries).
  void Add(const std::string& path, const CInterfaces& interfaces);
  const CDevice* FindDevice(const std::string& address) const;
  // The first adapter that is switched on; null when none is.
  const CAdapter* FirstPoweredAdapter() const;
};

// Readers of the message at its read position; a negative errno when the
// message is not of that shape.
int ReadProps(sd_bus_message* m, CProps& out);            // a{sv}
int ReadInterfaces(sd_bus_message* m, CInterfaces& out);  // a{sa{sv}}
int ReadObjects(sd_bus_message* m, CObjects& out);        // a{oa{sa{sv}}}

// A device's properties (Device1 and, when present, Network1).
CDevice MakeDevice(const std::string& path, const CInterfaces& interfaces);
// "AA:BB:cc:..." as the stack writes it; unchanged when it is no address.
std::string AddressText(const std::string& bluezAddress);
// The device's address from its object path (".../dev_AA_BB_CC_DD_EE_FF"),
// empty when the path names none.
std::string AddressFromPath(const std::string& path);

}  // namespace bluez
