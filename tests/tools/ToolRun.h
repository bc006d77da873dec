// Runs the built tools the way a provisioning script or a support engineer
// does: through the shell, with a given standard input, keeping standard
// output, standard error and the exit status apart.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/TestEnv.h"

namespace tooltest {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// The service's own registry key, as a registry file spells it.
const char kServiceKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n";

// command: a program of the build, then shell words (quote what must stay
// one argument). A program that does not end within a minute counts as
// exit status 124.
inline Result Run(const std::string& command, const std::string& input = "") {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("in"), input);
  int status = testenv::Shell("timeout 60 " + std::string(VCI_BIN_DIR) + "/" + command + " < " + dir.File("in") +
                              " > " + dir.File("out") + " 2> " + dir.File("err"));
  return {status, testenv::ReadFile(dir.File("out")), testenv::ReadFile(dir.File("err"))};
}
inline Result Tool(const std::string& args, const std::string& input = "") {
  return Run("vci-ident-tool " + args, input);
}
// What a tool command that must succeed prints, as it is or read as JSON
// (discarded when it is none).
inline std::string Out(const std::string& args, const std::string& input = "") {
  const Result r = Tool(args, input);
  EXPECT_EQ(r.status, 0) << args << ": " << r.err;
  return r.out;
}
inline nlohmann::json Json(const std::string& args, const std::string& input = "") {
  return nlohmann::json::parse(Out(args, input), nullptr, false);
}

// The bytes that hexadecimal text spells.
inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Every field of expected (nested ones by their path) has its value in got.
inline void ExpectFields(const nlohmann::json& got, const nlohmann::json& expected) {
  const nlohmann::json all = got.flatten(), want = expected.flatten();
  for (const auto& e : want.items())
    EXPECT_EQ(all.value(e.key(), nlohmann::json()), e.value()) << e.key() << " in " << got.dump();
}

}  // namespace tooltest
