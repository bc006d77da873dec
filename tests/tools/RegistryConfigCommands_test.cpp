// vci-ident-tool's registry and config commands, run as a provisioning
// script would run them, checked against what the service reads.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"

namespace {

using tooltest::Json;
using tooltest::kServiceKey;
using tooltest::Tool;

TEST(RegistryCommand, ValuesWrittenAreReadBackWhateverTheSpellingOfKeyAndName) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, (std::string("; provisioned by hand\n") + kServiceKey +
                                    "\"Brand\"=\"00AB\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Keep\"=\"me\"\n")
                                       .c_str());
  const struct {
    const char* write;
    const char* read;
    const char* shown;
  } values[] = {
      {"set - LogFileLocation '/var/log/vci ident'", "get - logfilelocation", "/var/log/vci ident\n"},
      {"set-dword - EnableBluetooth 0x10", "get - EnableBluetooth", "16\n"},
      {"set-dword - Max 4294967295", "get - Max", "4294967295\n"},
      {"set 'HKLM\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0' InstallPath /opt/bt",
       "get 'HKEY_LOCAL_MACHINE\\software\\toshiba\\bluetoothstack\\v1.0' installpath", "/opt/bt\n"},
      {"set 'SOFTWARE\\Other' @ fallback", "get 'SOFTWARE\\Other' @", "fallback\n"},
  };
  for (const auto& v : values) {
    tooltest::Out(std::string("registry ") + v.write);
    EXPECT_EQ(tooltest::Out(std::string("registry ") + v.read), v.shown) << v.read;
  }
  EXPECT_EQ(Json("registry get --json 'SOFTWARE\\KIVO\\KIVO_VCI' EnableBluetooth"),
            nlohmann::json({{"key", "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI"}, {"value", "EnableBluetooth"},
                            {"type", "REG_DWORD"}, {"data", 16}}));
  ASSERT_EQ(Tool("registry delete - EnableBluetooth").status, 0);
  EXPECT_EQ(Tool("registry get - EnableBluetooth").status, 1);
}

// No file: nothing to read or delete; a file that does not parse is neither
// read nor overwritten. (The registry's own tests write into a new file.)
TEST(RegistryCommand, AMissingFileOrOneThatDoesNotParseIsLeftAlone) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, nullptr);
  setenv("VCI_IDENT_REGISTRY", dir.File("etc/vci-ident/registry.reg").c_str(), 1);
  EXPECT_EQ(Tool("registry get - IdentServiceDefaultLocation").status, 1);
  EXPECT_EQ(Tool("registry delete - IdentServiceDefaultLocation").status, 1);
  const std::string broken = std::string(kServiceKey) + "\"A\"=dword:12\n";
  testenv::WriteFile(dir.File("etc/vci-ident/registry.reg"), broken);
  EXPECT_EQ(Tool("registry get - A").status, 1);
  EXPECT_EQ(Tool("registry set - B b").status, 1);
  EXPECT_EQ(testenv::ReadFile(dir.File("etc/vci-ident/registry.reg")), broken);
}

// config show prints what the service takes from ident.ini: every key,
// the zones as far as the zone count reaches, and a key that the file names
// as a section (iniparser files it without a value) as absent.
TEST(ConfigCommand, ShowsWhatTheServiceTakesFromTheIniFile) {
  testenv::ScratchDir dir;
  {
    testenv::ScopedRegistry none(dir, nullptr);
    EXPECT_TRUE(Json("config show")["file"].is_null());
  }
  testenv::ScopedRegistry reg(dir, (std::string(kServiceKey) + "\"IdentServiceDefaultLocation\"=\"" + dir.Path() +
                                    "\"\n\"LogFileLocation\"=\"" + dir.Path() + "\"\n")
                                       .c_str());
  const struct {
    const char* ini;
    nlohmann::json expected;
  } files[] = {
      {nullptr, {{"file", dir.File("ident.ini")}, {"loaded", false}, {"LINK-QUALITY:num-zones", 4}}},
      {"[Log]\nLevel = INFO\npersist = TRUE\n[Mode]\nShowWindow = true\n[timeouts]\nPAIR_TIMEOUT = 0x4E20\n"
       "[LINK-QUALITY]\nnum-zones = 2\nzone-2 = 55\nzone-3 = 99\n",
       {{"loaded", true}, {"Log:Level", 0}, {"Log:persist", true}, {"Log:append", false}, {"Mode:ShowWindow", true},
        {"timeouts:PAIR_TIMEOUT", 20000}, {"LINK-QUALITY:num-zones", 2}, {"LINK-QUALITY:zone-2", 55}}},
      {"[link-quality:zone-1]\n[timeouts:PAIR_TIMEOUT]\n[LINK-QUALITY:num-zones]\n[Log:Level]\n",
       {{"loaded", true}, {"Log:Level", 2}, {"timeouts:PAIR_TIMEOUT", 20000}, {"LINK-QUALITY:num-zones", 4},
        {"LINK-QUALITY:zone-1", 30}}},
  };
  const std::string trace = dir.File("ident/ident_log.txt");
  testenv::WriteFile(trace, "the service's own lines\n");
  for (const auto& f : files) {
    if (f.ini) testenv::WriteFile(dir.File("ident.ini"), f.ini);
    const nlohmann::json j = Json("config show");
    tooltest::ExpectFields(j, f.expected);
    // file, loaded, 6 switches, 14 timeouts, the count, the zones
    EXPECT_EQ(j.size(), 23 + j.value("LINK-QUALITY:num-zones", 0u)) << j.dump();
  }
  // The configuration logs its settings while loading; with persist set and
  // append clear those lines would truncate the trace file.
  EXPECT_EQ(testenv::ReadFile(trace), "the service's own lines\n");

  // check: the findings of a file, one a line, and exit status 1.
  const std::string ini = dir.File("ident.ini");
  testenv::WriteFile(ini, "[Log]\nLevel = warn\n");
  EXPECT_EQ(Tool("config check " + ini).status, 0);
  testenv::WriteFile(ini, "[Mode]\nShowWindow = yes\n");
  const tooltest::Result r = Tool("config check " + ini);
  EXPECT_EQ(std::make_tuple(r.status, r.out),
            std::make_tuple(1, ini + ": [mode] showwindow = yes: not true or false; false is used\n"));
  EXPECT_EQ(Tool("config check " + dir.File("missing.ini")).status, 1);
}

}  // namespace
