// vci-ident-tool's registry and config commands, run as a provisioning
// script would run them, checked against what the service reads.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "platform/Registry.h"

namespace {

using tooltest::Result;
using tooltest::Tool;

const char kServiceKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n";

TEST(RegistryCommand, ValuesWrittenAreReadBackByTheToolAndByTheService) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, (std::string("; provisioned by hand\n") + kServiceKey +
                                    "\"Brand\"=\"00AB\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Keep\"=\"me\"\n")
                                       .c_str());
  ASSERT_EQ(Tool("registry set - LogFileLocation '/var/log/vci ident'").status, 0);
  EXPECT_EQ(Tool("registry get - logfilelocation").out, "/var/log/vci ident\n");
  ASSERT_EQ(Tool("registry set - Quoted 'C:\\logs \"x\"'").status, 0);
  EXPECT_EQ(Tool("registry get - Quoted").out, "C:\\logs \"x\"\n");

  ASSERT_EQ(Tool("registry set-dword - EnableBluetooth 0x10").status, 0);
  EXPECT_EQ(Tool("registry get - EnableBluetooth").out, "16\n");
  Result json = Tool("registry get --json 'SOFTWARE\\KIVO\\KIVO_VCI' EnableBluetooth");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(nlohmann::json::parse(json.out),
            nlohmann::json({{"key", "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI"},
                            {"value", "EnableBluetooth"},
                            {"type", "REG_DWORD"},
                            {"data", 16}}));
  ASSERT_EQ(Tool("registry set-dword - Max 4294967295").status, 0);
  EXPECT_EQ(Tool("registry get - Max").out, "4294967295\n");

  // The service sees the DWORD as four little-endian bytes.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key), 0);
  BYTE data[4] = {0};
  DWORD type = 0, size = sizeof data;
  EXPECT_EQ(RegQueryValueEx(key, "EnableBluetooth", nullptr, &type, data, &size), 0);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data[0], 0x10);
  RegCloseKey(key);

  // Other keys, with the root written either way, and a key's default value.
  ASSERT_EQ(Tool("registry set 'HKLM\\SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0' InstallPath /opt/bt").status, 0);
  EXPECT_EQ(Tool("registry get 'HKEY_LOCAL_MACHINE\\software\\toshiba\\bluetoothstack\\v1.0' installpath").out,
            "/opt/bt\n");
  ASSERT_EQ(Tool("registry set 'SOFTWARE\\Other' @ fallback").status, 0);
  Result def = Tool("registry get --json 'SOFTWARE\\Other' @");
  ASSERT_EQ(def.status, 0);
  EXPECT_EQ(nlohmann::json::parse(def.out)["data"], "fallback");

  ASSERT_EQ(Tool("registry delete - EnableBluetooth").status, 0);
  EXPECT_EQ(Tool("registry get - EnableBluetooth").status, 1);
  std::string file = testenv::ReadFile(reg.Path());
  for (const char* kept : {"; provisioned by hand", "\"Brand\"=\"00AB\"", "\"Keep\"=\"me\"", "LogFileLocation"})
    EXPECT_NE(file.find(kept), std::string::npos) << kept;
}

TEST(RegistryCommand, AFirstWriteCreatesTheFileAndItsFolder) {
  testenv::ScratchDir dir;
  setenv("VCI_IDENT_REGISTRY", dir.File("etc/vci-ident/registry.reg").c_str(), 1);
  EXPECT_EQ(Tool("registry get - IdentServiceDefaultLocation").status, 1);
  EXPECT_EQ(Tool("registry delete - IdentServiceDefaultLocation").status, 1);
  ASSERT_EQ(Tool("registry set - IdentServiceDefaultLocation /opt/vci").status, 0);
  EXPECT_EQ(Tool("registry get - IdentServiceDefaultLocation").out, "/opt/vci\n");
  unsetenv("VCI_IDENT_REGISTRY");
}

TEST(RegistryCommand, MissingValuesFailAndBadArgumentsAreUsageErrors) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, (std::string(kServiceKey) + "\"A\"=\"a\"\n").c_str());
  EXPECT_EQ(Tool("registry get - B").status, 1);
  EXPECT_EQ(Tool("registry get 'SOFTWARE\\Missing' A").status, 1);
  EXPECT_EQ(Tool("registry delete - B").status, 1);

  Result help = Tool("registry --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("registry set-dword KEY VALUE N"), std::string::npos);
  for (const char* bad : {"registry", "registry list", "registry get -", "registry get - A extra",
                          "registry set - A", "registry set-dword - A", "registry set-dword - A abc",
                          "registry set-dword - A 0x100000000", "registry set-dword - A -1",
                          "registry get --xml - A", "registry get 'HKEY_CURRENT_USER\\Software' A",
                          "registry get '\\' A", "registry set - '' x",
                          "registry set 'SOFTWARE\\\\KIVO' A x", "registry set 'SOFTWARE\\KIVO\\' A x",
                          "registry set-dword 'HKLM\\\\SOFTWARE' A 1", "registry delete 'SOFTWARE\\KIVO\\\\' A"})
    EXPECT_EQ(Tool(bad).status, 2) << bad;
  EXPECT_EQ(testenv::ReadFile(reg.Path()), std::string(kServiceKey) + "\"A\"=\"a\"\n");

  testenv::WriteFile(reg.Path(), std::string(kServiceKey) + "\"A\"=dword:12\n");
  EXPECT_EQ(Tool("registry get - A").status, 1);
  EXPECT_EQ(Tool("registry set - B b").status, 1);
}

nlohmann::json Show() {
  Result r = Tool("config show");
  EXPECT_EQ(r.status, 0);
  return nlohmann::json::parse(r.out);
}

TEST(ConfigCommand, ShowsEverySettingWithItsDefaultWithoutAnIniFile) {
  testenv::ScratchDir dir;
  {
    testenv::ScopedRegistry none(dir, nullptr);
    nlohmann::json j = Show();
    EXPECT_TRUE(j["file"].is_null());
    EXPECT_EQ(j["loaded"], false);
    EXPECT_EQ(j["Log:Level"], 2);
  }
  testenv::ScopedRegistry reg(
      dir, (std::string(kServiceKey) + "\"IdentServiceDefaultLocation\"=\"" + dir.Path() + "\"\n").c_str());
  nlohmann::json j = Show();
  const nlohmann::json expected = {
      {"file", dir.File("ident.ini")},
      {"loaded", false},
      {"Log:Level", 2},
      {"Log:persist", false},
      {"Log:append", false},
      {"Mode:SkipPair", false},
      {"Mode:ShowWindow", false},
      {"Mode:LoadVCIs", false},
      {"timeouts:QMX_BT_TIMEOUT", 30000},
      {"timeouts:BT_CONNECT_TIMEOUT", 10000},
      {"timeouts:BT_DISCONNECT_TIMEOUT", 5000},
      {"timeouts:BT_IF_UP_TIMEOUT", 20000},
      {"timeouts:BT_SLEEP_AFTER_RADIO_ON", 1000},
      {"timeouts:BT_IF_DOWN_TIMEOUT", 10000},
      {"timeouts:DISCOVERY_TIMEOUT", 30000},
      {"timeouts:CHECK_CONNECT_TIMEOUT", 10000},
      {"timeouts:PAIR_TIMEOUT", 20000},
      {"timeouts:WM_CLEAR_BD_ADDR_TIMEOUT", 5000},
      {"timeouts:NUM_TIMES_NO_DETECT", 5},
      {"timeouts:POWER_CYCLE_TIME", 5000},
      {"timeouts:NUM_PAIR_ATTEMPTS", 2},
      {"timeouts:BT_NUM_FALSE_DETECTS", 2},
      {"LINK-QUALITY:num-zones", 4},
      {"LINK-QUALITY:zone-1", 30},
      {"LINK-QUALITY:zone-2", 50},
      {"LINK-QUALITY:zone-3", 60},
      {"LINK-QUALITY:zone-4", 100},
  };
  EXPECT_EQ(j, expected) << j.dump(2);
  EXPECT_EQ(Tool("config").status, 2);
  EXPECT_EQ(Tool("config show extra").status, 2);
  EXPECT_EQ(Tool("config frobnicate").status, 2);
}

TEST(ConfigCommand, ShowsWhatTheIniFileGivesAndLeavesTheServicesTraceFileAlone) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, (std::string(kServiceKey) + "\"IdentServiceDefaultLocation\"=\"" + dir.Path() +
                                    "\"\n\"LogFileLocation\"=\"" + dir.Path() + "\"\n")
                                       .c_str());
  testenv::WriteFile(dir.File("ident.ini"),
                     "[Log]\nLevel = INFO\npersist = TRUE\n[Mode]\nShowWindow = true\n"
                     "[timeouts]\nPAIR_TIMEOUT = 0x4E20\n[LINK-QUALITY]\nnum-zones = 2\nzone-2 = 55\nzone-3 = 99\n");
  const std::string trace = dir.File("ident/ident_log.txt");
  testenv::WriteFile(trace, "the service's own lines\n");
  nlohmann::json j = Show();
  EXPECT_EQ(j["loaded"], true);
  EXPECT_EQ(j["Log:Level"], 0);
  EXPECT_EQ(j["Log:persist"], true);
  EXPECT_EQ(j["Log:append"], false);
  EXPECT_EQ(j["Mode:ShowWindow"], true);
  EXPECT_EQ(j["timeouts:PAIR_TIMEOUT"], 20000);
  EXPECT_EQ(j["LINK-QUALITY:num-zones"], 2);
  EXPECT_EQ(j["LINK-QUALITY:zone-1"], 30);
  EXPECT_EQ(j["LINK-QUALITY:zone-2"], 55);
  EXPECT_FALSE(j.contains("LINK-QUALITY:zone-3"));
  // The configuration logs its settings while loading; with persist set and
  // append clear those lines would truncate the trace file.
  EXPECT_EQ(testenv::ReadFile(trace), "the service's own lines\n");
}

}  // namespace
