#include "host/ProductConfig.h"

#include <gtest/gtest.h>

#include <string>

#include "common/TestEnv.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/ProductKeyData.h"

namespace {

// A registry naming the scratch folder as the product location.
std::string Registry(const testenv::ScratchDir& dir) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"ProductSpecificLocation\"=\"" + dir.Path() + "\"\n";
}

void WriteProductFile(const testenv::ScratchDir& dir, const std::string& ini) {
  std::string file;
  ASSERT_TRUE(CProductConfig::EncipherText(ini, file));
  testenv::WriteFile(CProductConfig::FilePath(dir.Path()), file);
}

void ExpectDefaults(const CProductConfig& c) {
  EXPECT_FALSE(c.IsLoaded());
  EXPECT_FALSE(c.GetShowSelfTestDlg());
  EXPECT_FALSE(c.GetHideNetworkSetupDlg());
  EXPECT_TRUE(c.GetPowerModPresent());
  EXPECT_FALSE(c.GetHideEthSubTabDlg());
  EXPECT_TRUE(c.GetHasEthernet());
  EXPECT_FALSE(c.GetDisplayAllModuleTypes());
  EXPECT_EQ(c.GetOELabel(), "");
  EXPECT_EQ(c.GetDeviceLabel(), "VCI");
  EXPECT_EQ(c.GetProductTitle(), "");
  EXPECT_EQ(c.GetMaxTcpPorts(), 100u);
  EXPECT_EQ(c.GetMaxNumberOfSessions(), 1u);
  EXPECT_EQ(c.GetSplashScreenResourceId(), 245u);
  EXPECT_EQ(c.GetMaxNumberOfLeds(), 5u);
  EXPECT_EQ(c.GetText(), "");
}

TEST(CProductConfig, WithoutARegistryValueOrAFileEveryFieldKeepsItsDefault) {
  testenv::ScratchDir dir;
  {
    testenv::ScopedRegistry reg(dir, nullptr);
    CProductConfig c;
    ExpectDefaults(c);
  }
  {
    testenv::ScopedRegistry reg(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"Brand\"=\"x\"\n");
    CProductConfig c;
    ExpectDefaults(c);
  }
  testenv::ScopedRegistry reg(dir, Registry(dir).c_str());
  CProductConfig c;
  ExpectDefaults(c);
  EXPECT_EQ(c.Load(), -1);
}

TEST(CProductConfig, BrokenFilesLeaveTheDefaults) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, Registry(dir).c_str());
  std::string good;
  ASSERT_TRUE(CProductConfig::EncipherText("[SYSTEM]\nmax_tcp_ports = 20\n", good));
  const std::string path = CProductConfig::FilePath(dir.Path());

  // Sanity: the intact file loads.
  testenv::WriteFile(path, good);
  CProductConfig c;
  ASSERT_TRUE(c.IsLoaded());
  EXPECT_EQ(c.GetMaxTcpPorts(), 20u);

  // A record that announces a text of length 0.
  uint8_t zeroLength[16] = {1, 0, 0, 0, 0, 0, 0, 0, '[', 'S', ']', '\n', 0, 0, 0, 0};
  CBlowfishCipher bf;
  ASSERT_EQ(bf.SetKey(g_DefaultCipherKey, 56), 0);
  ASSERT_EQ(bf.Encrypt(zeroLength, 16, "ecb", nullptr), 0);
  const std::string broken[] = {
      "",                                // empty file
      good.substr(0, good.size() - 3),   // size not a multiple of 8
      good.substr(0, 16),                // text length runs past the end
      std::string(reinterpret_cast<const char*>(zeroLength), 16),
  };
  for (const std::string& bytes : broken) {
    testenv::WriteFile(path, bytes);
    EXPECT_EQ(c.Load(), -1) << bytes.size() << " bytes";
    ExpectDefaults(c);
  }
  // A text the ini syntax rejects: the load fails as a whole.
  WriteProductFile(dir, "[SYSTEM]\nmax_tcp_ports = 20\nthis line is no setting\n");
  EXPECT_EQ(c.Load(), -1);
  ExpectDefaults(c);
}

TEST(CProductConfig, SettingsAreReadCaseInsensitivelyWithTheirTypes) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, Registry(dir).c_str());
  WriteProductFile(dir,
                   "; product description\n"
                   "[MGR]\n"
                   "SHOW_SELF_TEST_DLG = True\n"
                   "hide_network_setup_dlg = yes\n"
                   "hide_eth_sub_tab_dlg = 1\n"
                   "OE_label = Acme Motors\n"
                   "device_label = \"Link Pro\"\n"
                   "splash_screen_resource_id = 0x20\n"
                   "[vci]\n"
                   "power_mod_present = off\n"
                   "has_ethernet = No\n"
                   "display_all_module_types = on\n"
                   "max_number_of_leds = 010\n"
                   "[System]\n"
                   "MAX_TCP_PORTS = 20\n");
  CProductConfig c;
  ASSERT_TRUE(c.IsLoaded());
  EXPECT_EQ(c.Load(), 0);
  EXPECT_TRUE(c.GetShowSelfTestDlg());
  EXPECT_TRUE(c.GetHideNetworkSetupDlg());
  EXPECT_TRUE(c.GetHideEthSubTabDlg());
  // Values beginning with o are neither true nor false: the defaults stay.
  EXPECT_TRUE(c.GetPowerModPresent());
  EXPECT_FALSE(c.GetDisplayAllModuleTypes());
  EXPECT_FALSE(c.GetHasEthernet());
  EXPECT_EQ(c.GetOELabel(), "Acme Motors");
  EXPECT_EQ(c.GetDeviceLabel(), "Link Pro");
  EXPECT_EQ(c.GetProductTitle(), "");
  EXPECT_EQ(c.GetSplashScreenResourceId(), 32u);
  EXPECT_EQ(c.GetMaxNumberOfLeds(), 8u);
  EXPECT_EQ(c.GetMaxTcpPorts(), 20u);
  EXPECT_EQ(c.GetMaxNumberOfSessions(), 1u);
  EXPECT_NE(c.GetText().find("MAX_TCP_PORTS = 20"), std::string::npos);

  // A reload after the file is gone goes back to the defaults.
  testenv::WriteFile(CProductConfig::FilePath(dir.Path()), "");
  EXPECT_EQ(c.Load(), -1);
  ExpectDefaults(c);
}

TEST(CProductConfig, TheFileFormIsWholeBlocksAndDeciphersToTheText) {
  const std::string text = "[SYSTEM]\nmax_tcp_ports=7\n";
  std::string file, back;
  ASSERT_TRUE(CProductConfig::EncipherText(text, file));
  EXPECT_EQ(file.size() % 8, 0u);
  EXPECT_GE(file.size(), text.size() + 8);
  EXPECT_EQ(file.find("max_tcp_ports"), std::string::npos);
  ASSERT_TRUE(CProductConfig::DecipherFile(file, back));
  EXPECT_EQ(back, text);
  EXPECT_FALSE(CProductConfig::EncipherText("", file));
  EXPECT_FALSE(CProductConfig::DecipherFile("1234567", back));
}

}  // namespace
