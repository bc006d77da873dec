#include "host/ProductConfig.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/TestEnv.h"

namespace {

// Every field under the name of its key.
std::map<std::string, std::string> Values(const CProductConfig& c) {
  auto n = [](long long v) { return std::to_string(v); };
  return {{"MGR:show_self_test_dlg", n(c.GetShowSelfTestDlg())}, {"VCI:power_mod_present", n(c.GetPowerModPresent())},
          {"MGR:hide_network_setup_dlg", n(c.GetHideNetworkSetupDlg())}, {"VCI:has_ethernet", n(c.GetHasEthernet())},
          {"MGR:hide_eth_sub_tab_dlg", n(c.GetHideEthSubTabDlg())}, {"MGR:OE_label", c.GetOELabel()},
          {"VCI:display_all_module_types", n(c.GetDisplayAllModuleTypes())}, {"MGR:device_label", c.GetDeviceLabel()},
          {"MGR:special_title_label", c.GetProductTitle()}, {"SYSTEM:max_tcp_ports", n(c.GetMaxTcpPorts())},
          {"SYSTEM:max_number_of_sessions", n(c.GetMaxNumberOfSessions())}, {"text", c.GetText()},
          {"MGR:splash_screen_resource_id", n(c.GetSplashScreenResourceId())},
          {"VCI:max_number_of_leds", n(c.GetMaxNumberOfLeds())}};
}

struct Installation {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg{dir, ("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"ProductSpecificLocation\"=\"" +
                                    dir.Path() + "\"\n").c_str()};
  void Write(const std::string& bytes) { testenv::WriteFile(CProductConfig::FilePath(dir.Path()), bytes); }
  void WriteText(const std::string& ini) {
    std::string file;
    ASSERT_TRUE(CProductConfig::EncipherText(ini, file));
    Write(file);
  }
};

TEST(CProductConfig, EachKeyIsReadWithItsTypeAndAnythingElseKeepsTheDefault) {
  Installation inst;
  CProductConfig c;
  const std::map<std::string, std::string> defaults = Values(c);
  const struct {
    const char* ini;
    std::map<std::string, std::string> changed;
  } files[] = {
      {"; product description\n[MGR]\nSHOW_SELF_TEST_DLG = True\nhide_network_setup_dlg = yes\n"
       "hide_eth_sub_tab_dlg = 1\nOE_label = Acme Motors\ndevice_label = \"Link Pro\"\n"
       "splash_screen_resource_id = 0x20\n[vci]\npower_mod_present = off\nhas_ethernet = No\n"
       "display_all_module_types = on\nmax_number_of_leds = 010\n[System]\nMAX_TCP_PORTS = 20\n",
       {{"MGR:show_self_test_dlg", "1"}, {"MGR:hide_network_setup_dlg", "1"}, {"MGR:hide_eth_sub_tab_dlg", "1"},
        {"MGR:OE_label", "Acme Motors"}, {"MGR:device_label", "Link Pro"}, {"MGR:splash_screen_resource_id", "32"},
        {"VCI:has_ethernet", "0"}, {"VCI:max_number_of_leds", "8"}, {"SYSTEM:max_tcp_ports", "20"}}},
      // iniparser files a section as a key without a value: such a key is absent.
      {"[VCI:has_ethernet]\n[MGR:OE_label]\n[SYSTEM:max_tcp_ports]\n[MGR:show_self_test_dlg]\n", {}},
  };
  for (const auto& f : files) {
    inst.WriteText(f.ini);
    ASSERT_EQ(c.Load(), 0) << f.ini;
    std::map<std::string, std::string> expected = defaults;
    for (const auto& e : f.changed) expected[e.first] = e.second;
    expected["text"] = f.ini;
    EXPECT_EQ(Values(c), expected) << f.ini;
  }
}

TEST(CProductConfig, WithoutARegistryValueOrAReadableFileEveryFieldKeepsItsDefault) {
  testenv::ScratchDir dir;
  std::map<std::string, std::string> defaults;
  {
    testenv::ScopedRegistry reg(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"Brand\"=\"x\"\n");
    defaults = Values(CProductConfig());
  }
  Installation inst;
  std::string good, syntax;
  ASSERT_TRUE(CProductConfig::EncipherText("[SYSTEM]\nmax_tcp_ports = 20\n", good));
  ASSERT_TRUE(CProductConfig::EncipherText("[SYSTEM]\nmax_tcp_ports = 20\nthis line is no setting\n", syntax));
  CProductConfig c;
  // A record of length 0 is the fuzz target's: it deciphers to a text that
  // does not encipher again.
  for (const std::string& bytes : {std::string(), good.substr(0, good.size() - 3), good.substr(0, 16), syntax}) {
    inst.Write(good);
    ASSERT_EQ(c.Load(), 0);
    inst.Write(bytes);
    EXPECT_EQ(c.Load(), -1) << bytes.size() << " bytes";
    EXPECT_FALSE(c.IsLoaded());
    EXPECT_EQ(Values(c), defaults) << bytes.size() << " bytes";
  }
}

}  // namespace

// The Bluetooth device files are written back whole after a change: what was
// read (sections in order, every key and value) must come back, and a failed
// write must leave the old file as it was.
TEST(CIniFile, SetAndSaveKeepEverySectionAndValueAndAFailedSaveKeepsTheOldFile) {
  testenv::ScratchDir dir;
  const std::string path = dir.Path() + "/devices.txt";
  CIniFile ini;
  ASSERT_TRUE(ini.Set("4711", nullptr) && ini.Set("4711:BDADDR", "00:1b:dc:00:47:11") && ini.Set("815", nullptr) &&
              ini.Set("815:ModuleType", "00000004") && ini.Save(path));

  CIniFile back;
  ASSERT_TRUE(back.Load(path));
  EXPECT_EQ(back.GetSections(), (std::vector<std::string>{"4711", "815"}));
  EXPECT_EQ(back.GetString("4711:BDADDR", ""), "00:1b:dc:00:47:11");
  EXPECT_EQ(back.GetInt("815:ModuleType", 0), 4);

  testenv::WriteFile(dir.File("folder/x"), "");
  EXPECT_FALSE(ini.Save(dir.File("folder")));
  CIniFile none;
  EXPECT_FALSE(none.Save(path));
  // A garbled file's section named with a colon is written in a form that
  // does not read back: the old file stays.
  ASSERT_TRUE(back.Set("815:", nullptr) && back.Set("815::BDADDR", "00:1b:dc:00:08:15") && back.Set("815", nullptr));
  EXPECT_FALSE(back.Save(path));
  EXPECT_TRUE(back.Load(path));
  EXPECT_EQ(back.GetSections().size(), 2u);

  // Each value as it reads back (null: the old file stays): the ini reader
  // strips blanks, takes quotes, ends at comment characters and joins lines.
  const struct {
    const char *value, *back;
  } values[] = {
      {"\r 00:1b:dc:c  7 1", "\r 00:1b:dc:c  7 1"},  // read from a file that quoted it
      {" a\t", " a\t"}, {"'a'", "'a'"}, {"\"\"", "\"\""}, {"a;b#c", "a;b#c"}, {"a\\", "a\\"}, {"", ""},
      {"Mon Jan  5 10:00:00 2026\n", "Mon Jan  5 10:00:00 2026"}, {"a\nb", nullptr}, {" \"a' ", nullptr},
  };
  std::string was;
  for (const auto& v : values) {
    SCOPED_TRACE(v.value);
    CIniFile one;
    ASSERT_TRUE(one.Set("s", nullptr) && one.Set("s:k", v.value));
    EXPECT_EQ(one.Save(path), v.back != nullptr);
    if (v.back) was = v.back;
    EXPECT_TRUE(back.Load(path) && back.GetString("s:k", "?") == was);
  }
}
