// TosBtPcs over BlueZ: the personal-area network, as the service starts it:
//   TosBtPcs ADDR /TARGET_GN                connects the network to the device
//   TosBtPcs -00:00:00:00:00:00 /TARGET_GN  disconnects every network
// A connect is Network1.Connect("nap") on the device; the network interface
// that BlueZ returns (bnepN) gets the alias "Bluetooth Personal Area
// Network", by which the service finds it. BlueZ ends a network whose
// client leaves the bus, so the connecting program stays and holds it until
// it ends: disconnected by a reset (or by the device), or by SIGTERM or
// SIGINT, which disconnect it. The address on that network comes from the
// VCI's DHCP server through whatever the system runs (systemd-networkd,
// NetworkManager).
//
// Exit status: 0 once the network it held (or reset) is down, 1 when it
// could not be connected or reset (the reason on standard error), 2 for a
// command line it does not know.
#include <net/if.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cctype>
#include <cstring>
#include <iostream>
#include <string>

#include "BluezObjects.h"
#include "platform/AdapterInfo.h"

namespace {

const char kAlias[] = "Bluetooth Personal Area Network";
const uint64_t kCallUs = 30000000;

int Fail(const std::string& what, const sd_bus_error* error = nullptr, int r = 0) {
  std::cerr << "TosBtPcs: " << what;
  if (error && error->name) std::cerr << ": " << error->name << (error->message ? std::string(" ") + error->message : "");
  else if (r < 0) std::cerr << ": " << strerror(-r);
  std::cerr << "\n";
  return 1;
}

int GetObjects(sd_bus* bus, bluez::CObjects& objects, sd_bus_error* error) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, bluez::kService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                             error, &reply, "");
  if (r >= 0) r = bluez::ReadObjects(reply, objects);
  sd_bus_message_unref(reply);
  return r;
}

int Reset(sd_bus* bus) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  bluez::CObjects objects;
  int r = GetObjects(bus, objects, &error);
  if (r < 0) return Fail("cannot read BlueZ's devices", &error, r);
  int status = 0;
  for (const bluez::CDevice& d : objects.devices) {
    if (!d.networkConnected) continue;
    sd_bus_error_free(&error);
    r = sd_bus_call_method(bus, bluez::kService, d.path.c_str(), bluez::kNetworkInterface, "Disconnect", &error,
                           nullptr, "");
    // Gone meanwhile is as good as disconnected.
    if (r < 0 && !sd_bus_error_has_name(&error, "org.bluez.Error.NotConnected"))
      status = Fail("cannot disconnect the network of " + d.address, &error, r);
  }
  sd_bus_error_free(&error);
  return status;
}

struct CHold {
  sd_bus* bus;
  sd_event* event;
  std::string path;
};

int OnBusLost(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* hold = static_cast<CHold*>(data);
  if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected"))
    return sd_event_exit(hold->event, Fail("the system bus went"));
  return 0;
}

// The held network ended: its device disconnected it, or went.
int OnChange(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* hold = static_cast<CHold*>(data);
  const char* interface = nullptr;
  if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved")) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(m, 'o', &path) > 0 && hold->path == path) return sd_event_exit(hold->event, 0);
    return 0;
  }
  bluez::CProps changed;
  if (sd_bus_message_read_basic(m, 's', &interface) > 0 && std::string(interface) == bluez::kNetworkInterface &&
      bluez::ReadProps(m, changed) >= 0) {
    auto connected = changed.find("Connected");
    if (connected != changed.end() && !connected->second.b) return sd_event_exit(hold->event, 0);
  }
  return 0;
}

int OnStop(sd_event_source*, const struct signalfd_siginfo*, void* data) {
  auto* hold = static_cast<CHold*>(data);
  sd_bus_call_method(hold->bus, bluez::kService, hold->path.c_str(), bluez::kNetworkInterface, "Disconnect", nullptr,
                     nullptr, "");
  return sd_event_exit(hold->event, 0);
}

int Connect(sd_bus* bus, const std::string& address) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  bluez::CObjects objects;
  int r = GetObjects(bus, objects, &error);
  if (r < 0) return Fail("cannot read BlueZ's devices", &error, r);
  const bluez::CDevice* device = objects.FindDevice(address);
  if (!device) return Fail("BlueZ knows no device " + address);
  CHold hold{bus, nullptr, device->path};

  // Watched before the connect, so that no end of it goes unseen.
  const std::string changed = "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                              "member='PropertiesChanged',path='" + hold.path + "'";
  r = sd_bus_add_match(bus, nullptr, changed.c_str(), &OnChange, &hold);
  if (r >= 0) r = sd_bus_add_match(bus, nullptr, "type='signal',sender='org.bluez',member='InterfacesRemoved'", &OnChange,
                                   &hold);
  if (r >= 0) r = sd_bus_add_filter(bus, nullptr, &OnBusLost, &hold);
  if (r < 0) return Fail("cannot watch the device", nullptr, r);

  sd_bus_message* reply = nullptr;
  const char* name = nullptr;
  sd_bus_message* call = nullptr;
  r = sd_bus_message_new_method_call(bus, &call, bluez::kService, hold.path.c_str(), bluez::kNetworkInterface, "Connect");
  if (r >= 0) r = sd_bus_message_append(call, "s", "nap");
  if (r >= 0) r = sd_bus_call(bus, call, kCallUs, &error, &reply);
  sd_bus_message_unref(call);
  if (r >= 0) r = sd_bus_message_read(reply, "s", &name);
  const std::string interface = r >= 0 && name ? name : "";
  sd_bus_message_unref(reply);
  if (interface.empty()) return Fail("cannot connect the network to " + address, &error, r);
  sd_bus_error_free(&error);

  const unsigned index = if_nametoindex(interface.c_str());
  const DWORD set = index ? SetNetLinkAlias(index, kAlias) : DWORD(ERROR_FILE_NOT_FOUND);
  if (set != ERROR_SUCCESS) {
    sd_bus_call_method(bus, bluez::kService, hold.path.c_str(), bluez::kNetworkInterface, "Disconnect", nullptr,
                       nullptr, "");
    return Fail("cannot give " + interface + " its alias" +
                (set == ERROR_ACCESS_DENIED ? std::string(" (this needs CAP_NET_ADMIN)") : std::string()));
  }
  std::cout << "TosBtPcs: " << address << " connected on " << interface << std::endl;

  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  r = sd_event_new(&hold.event);
  if (r >= 0) r = sd_event_add_signal(hold.event, nullptr, SIGTERM, &OnStop, &hold);
  if (r >= 0) r = sd_event_add_signal(hold.event, nullptr, SIGINT, &OnStop, &hold);
  if (r >= 0) r = sd_bus_attach_event(bus, hold.event, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) r = sd_event_loop(hold.event);
  sd_bus_detach_event(bus);
  sd_event_unref(hold.event);
  return r < 0 ? Fail("cannot hold the network", nullptr, r) : r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string target = argc == 3 ? argv[1] : "";
  const bool reset = target == "-00:00:00:00:00:00";
  const std::string address = bluez::AddressText(target);
  bool valid = address.size() == 17;
  for (size_t i = 0; i < address.size() && valid; ++i)
    valid = i % 3 == 2 ? address[i] == ':' : isxdigit(static_cast<unsigned char>(address[i])) != 0;
  if (argc != 3 || std::string(argv[2]) != "/TARGET_GN" || (!reset && !valid)) {
    std::cerr << "usage: TosBtPcs xx:xx:xx:xx:xx:xx /TARGET_GN | TosBtPcs -00:00:00:00:00:00 /TARGET_GN\n";
    return 2;
  }
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) return Fail("cannot reach the system bus", nullptr, r);
  const int status = reset ? Reset(bus) : Connect(bus, address);
  sd_bus_flush_close_unref(bus);
  return status;
}
