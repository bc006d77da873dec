// vci-btsim, the simulated Bluetooth radio, as a child process: started on a
// world written to a scratch file, driven through its commands.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/ChildProcess.h"
#include "common/TestEnv.h"

namespace testenv {

class BtSimProcess : public ChildProcess {
 public:
  // world: the simulator's world JSON; args: further options (--register).
  BtSimProcess(const ScratchDir& dir, const nlohmann::json& world, std::vector<std::string> args = {})
      : ChildProcess("vci-btsim", WithWorld(dir, world, args), "vci-btsim: ready") {}
  // One command line; its answer ("ok", "error: ...", or a JSON line).
  std::string Command(const std::string& line) {
    if (!Write(line + "\n")) return std::string();
    return ReadLine([](const std::string& l) { return l == "ok" || l.compare(0, 7, "error: ") == 0 || l[0] == '{'; });
  }
  nlohmann::json Status() { return nlohmann::json::parse(Command("status"), nullptr, false); }

  // Two VCIs in range, 4711 refusing to pair and 815 announcing on its
  // network every 7 s, and a phone.
  static nlohmann::json TwoVcisAndAPhone() {
    return {{"scan_time_ms", 50}, {"reply_time_ms", 10},
            {"devices", {{{"address", "00:1b:dc:00:47:11"}, {"name", "VTX5-00004711:2.1.7:R0"}, {"serial", 4711},
                          {"pairing", false}, {"vci_args", {"--interval", "100"}}},
                         {{"address", "00:1b:dc:00:08:15"}, {"name", "ABCD-00000815-0A:1B:2C"}, {"serial", 815},
                          {"vci_args", {"--interval", "7000"}}},
                         {{"address", "00:1b:dc:00:00:02"}, {"name", "Phone"}}}}};
  }

 private:
  static std::vector<std::string> WithWorld(const ScratchDir& dir, const nlohmann::json& world,
                                            std::vector<std::string> args) {
    WriteFile(dir.File("world.json"), world.dump());
    args.insert(args.begin(), {"--world", dir.File("world.json")});
    return args;
  }
};

}  // namespace testenv
