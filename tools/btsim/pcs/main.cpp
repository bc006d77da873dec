// TosBtPcs: the simulated stack's companion program for the personal-area
// network, as the service starts it:
//   TosBtPcs ADDR /TARGET_GN                connects the network to the device
//   TosBtPcs -00:00:00:00:00:00 /TARGET_GN  resets the network
// It asks the simulator of the registry's scope and ends when the network is
// up (or down): 0, or 1 with the reason on standard error; 2 for a command
// line it does not know.
#include <unistd.h>

#include <iostream>
#include <string>

#include "BtSimWire.h"

int main(int argc, char** argv) {
  uint8_t bytes[6];
  const std::string target = argc == 3 ? argv[1] : "";
  const bool reset = target == "-00:00:00:00:00:00";
  if (argc != 3 || std::string(argv[2]) != "/TARGET_GN" || (!reset && !btsim::ParseAddress(target, bytes))) {
    std::cerr << "usage: TosBtPcs xx:xx:xx:xx:xx:xx /TARGET_GN | TosBtPcs -00:00:00:00:00:00 /TARGET_GN\n";
    return 2;
  }
  const std::string name = btsim::SocketName();
  const int fd = btsim::Connect(name);
  if (fd < 0) {
    std::cerr << "TosBtPcs: no simulated Bluetooth stack serves @" << name << "\n";
    return 1;
  }
  nlohmann::json request = {{"id", 1}, {"op", reset ? "pan-reset" : "pan"}};
  if (!reset) request["address"] = btsim::AddressText(bytes);
  nlohmann::json answer;
  // Starting the VCI behind the network takes as long as it takes.
  const bool answered = btsim::Send(fd, request) && btsim::Receive(fd, answer) == 1;
  close(fd);
  if (answered && answer.value("status", -1) == 0) return 0;
  std::cerr << "TosBtPcs: " << (answered ? answer.value("error", "failed") : "the simulator went") << "\n";
  return 1;
}
