// vci-sim as a child process for a test: started with its arguments (Ready()
// once it said so), commands written to its standard input, stopped with
// SIGTERM. Start it inside the test's private network namespace.
#pragma once

#include <string>
#include <vector>

#include "common/ChildProcess.h"

namespace testenv {

class SimProcess : public ChildProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) : ChildProcess("vci-sim", args, "ready") {}

  // Sends one command line and returns its answer line ("ok" or "error: ...",
  // or the first JSON line of "status"). The socket layer's own report
  // lines on the same output are passed over.
  std::string Command(const std::string& line) {
    if (!Write(line + "\n")) return std::string();
    return ReadLine(
        [](const std::string& l) { return l == "ok" || l.compare(0, 7, "error: ") == 0 || l.compare(0, 1, "{") == 0; });
  }
};

}  // namespace testenv
