// Runs vci-ident-tool the way a provisioning script or a support engineer
// does: through the shell, with a given standard input, keeping standard
// output, standard error and the exit status apart.
#pragma once

#include <string>

#include "common/TestEnv.h"

namespace tooltest {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// args are shell words (quote what must stay one argument).
inline Result Tool(const std::string& args, const std::string& input = "") {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("in"), input);
  int status = testenv::Shell(std::string(VCI_BIN_DIR) + "/vci-ident-tool " + args + " < " + dir.File("in") +
                              " > " + dir.File("out") + " 2> " + dir.File("err"));
  return {status, testenv::ReadFile(dir.File("out")), testenv::ReadFile(dir.File("err"))};
}

}  // namespace tooltest
