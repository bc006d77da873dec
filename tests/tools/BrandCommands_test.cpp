// vci-ident-tool's brand and product-config commands, run as a provisioning
// script would run them.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "host/Brand.h"

namespace {

using tooltest::Result;
using tooltest::Tool;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

TEST(BrandCommand, EncodedAndSetValuesResolveToTheRightNumber) {
  testenv::ScratchDir dir;
  Result list = Tool("brand list");
  ASSERT_EQ(list.status, 0);
  nlohmann::json brands = nlohmann::json::parse(list.out);
  ASSERT_EQ(brands.size(), 15u);
  EXPECT_EQ(brands[2]["brand"], 3);
  EXPECT_EQ(brands[2]["keyName"], GetBrandKeyName(3));

  Result enc = Tool("brand encode RAILCOM");
  ASSERT_EQ(enc.status, 0);
  std::string text = Trim(enc.out);
  Result dec = Tool("brand decode " + text);
  ASSERT_EQ(dec.status, 0);
  EXPECT_EQ(nlohmann::json::parse(dec.out)["brand"], 10);
  EXPECT_EQ(nlohmann::json::parse(dec.out)["keyName"], "RAILCOM");

  {
    // An encoded value written by hand into the registry.
    std::string reg = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"Brand\"=\"" + text + "\"\n";
    testenv::ScopedRegistry scoped(dir, reg.c_str());
    Result get = Tool("brand get");
    ASSERT_EQ(get.status, 0);
    EXPECT_EQ(nlohmann::json::parse(get.out)["brand"], 10);
  }
  // brand set keeps the other values of the file and GetBrand resolves it.
  testenv::ScopedRegistry scoped(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"LogFileLocation\"=\"/tmp\"\n");
  ASSERT_EQ(Tool("brand set GARAGEPRO").status, 0);
  EXPECT_NE(testenv::ReadFile(scoped.Path()).find("LogFileLocation"), std::string::npos);
  uint32_t brand = 0;
  ASSERT_TRUE(GetBrand(brand));
  EXPECT_EQ(brand, 13u);
}

TEST(BrandCommand, WrongShortAndOddValuesDoNotResolve) {
  Result enc = Tool("brand encode NOBRAND");
  ASSERT_EQ(enc.status, 0);
  EXPECT_EQ(Tool("brand decode " + Trim(enc.out)).status, 1);
  Result kivo = Tool("brand encode KIVO");
  ASSERT_EQ(kivo.status, 0);
  EXPECT_EQ(Tool("brand decode " + Trim(kivo.out)).status, 0);
  EXPECT_EQ(Tool("brand decode " + Trim(kivo.out) + "A").status, 1);
  EXPECT_EQ(Tool("brand decode " + Trim(kivo.out).substr(0, 24)).status, 1);
  EXPECT_EQ(Tool("brand decode AB").status, 1);
  // A typing slip is pointed at: the service reads it as a zero digit.
  Result slip = Tool("brand decode " + Trim(kivo.out).substr(0, 31) + "G");
  EXPECT_EQ(slip.status, 1);
  EXPECT_NE(slip.err.find("'G' at character 32 is no hexadecimal digit"), std::string::npos) << slip.err;
  Result maxId = Tool("brand encode 'Max ID'");
  ASSERT_EQ(maxId.status, 0);
  EXPECT_EQ(Tool("brand decode " + Trim(maxId.out)).status, 1);
  EXPECT_EQ(Tool("brand encode").status, 2);
  EXPECT_EQ(Tool("brand frobnicate").status, 2);

  testenv::ScratchDir dir;
  testenv::ScopedRegistry scoped(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n");
  EXPECT_EQ(Tool("brand set 'Max ID'").status, 1);
  EXPECT_EQ(Tool("brand set kivo").status, 1);
  EXPECT_EQ(Tool("brand get").status, 1);
}

TEST(ProductConfigCommand, EncodedFilesAreWhatTheServiceReads) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("product.ini"), "[SYSTEM]\nmax_tcp_ports = 20\n[MGR]\ndevice_label = Scout\n");
  const std::string out = dir.File("Configuration/product_config.ini");
  ASSERT_EQ(Tool("product-config encode " + dir.File("product.ini") + " " + out).status, 0);
  EXPECT_EQ(testenv::ReadFile(out).size() % 8, 0u);
  Result dec = Tool("product-config decode " + out);
  ASSERT_EQ(dec.status, 0);
  EXPECT_EQ(dec.out, testenv::ReadFile(dir.File("product.ini")));

  {
    std::string reg = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"ProductSpecificLocation\"=\"" + dir.Path() + "\"\n";
    testenv::ScopedRegistry scoped(dir, reg.c_str());
    Result show = Tool("product-config show");
    ASSERT_EQ(show.status, 0);
    nlohmann::json j = nlohmann::json::parse(show.out);
    EXPECT_EQ(j["loaded"], true);
    EXPECT_EQ(j["SYSTEM:max_tcp_ports"], 20);
    EXPECT_EQ(j["MGR:device_label"], "Scout");
    EXPECT_EQ(j["VCI:power_mod_present"], true);
  }
  testenv::ScopedRegistry none(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n");
  Result show = Tool("product-config show");
  ASSERT_EQ(show.status, 0);
  nlohmann::json j = nlohmann::json::parse(show.out);
  EXPECT_EQ(j["loaded"], false);
  EXPECT_EQ(j["SYSTEM:max_tcp_ports"], 100);
  EXPECT_EQ(j["MGR:device_label"], "VCI");

  testenv::WriteFile(dir.File("short.bin"), "1234567");
  EXPECT_EQ(Tool("product-config decode " + dir.File("short.bin")).status, 1);
  testenv::WriteFile(dir.File("empty.ini"), "");
  EXPECT_EQ(Tool("product-config encode " + dir.File("empty.ini") + " " + dir.File("x")).status, 1);
  EXPECT_EQ(Tool("product-config encode " + dir.File("product.ini")).status, 2);
}

}  // namespace
