// vci-ident-tool's brand and product-config commands, run as a provisioning
// script would run them.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "host/Brand.h"

namespace {

using tooltest::Json;
using tooltest::kServiceKey;
using tooltest::Result;
using tooltest::Tool;

// The registry text that `brand encode` prints for a name.
std::string Encode(const std::string& name) {
  const std::string out = tooltest::Out("brand encode '" + name + "'");
  return out.substr(0, out.find('\n'));
}

TEST(BrandCommand, EncodedAndSetValuesResolveToTheRightNumber) {
  testenv::ScratchDir dir;
  nlohmann::json brands = Json("brand list");
  ASSERT_EQ(brands.size(), 15u);
  EXPECT_EQ(brands[2], nlohmann::json({{"brand", 3}, {"keyName", GetBrandKeyName(3)},
                                       {"displayName", GetBrandDisplayName(3)}}));
  const std::string text = Encode("RAILCOM");
  tooltest::ExpectFields(Json("brand decode " + text), {{"brand", 10}, {"keyName", "RAILCOM"}});
  {
    // An encoded value written by hand into the registry.
    testenv::ScopedRegistry scoped(dir, (kServiceKey + ("\"Brand\"=\"" + text + "\"\n")).c_str());
    EXPECT_EQ(Json("brand get")["brand"], 10);
  }
  // brand set keeps the other values of the file and GetBrand resolves it.
  testenv::ScopedRegistry scoped(dir, (kServiceKey + std::string("\"LogFileLocation\"=\"/tmp\"\n")).c_str());
  ASSERT_EQ(Tool("brand set GARAGEPRO").status, 0);
  EXPECT_NE(testenv::ReadFile(scoped.Path()).find("LogFileLocation"), std::string::npos);
  uint32_t brand = 0;
  ASSERT_TRUE(GetBrand(brand));
  EXPECT_EQ(brand, 13u);
}

TEST(BrandCommand, WrongShortAndOddValuesDoNotResolve) {
  const std::string kivo = Encode("KIVO");
  EXPECT_EQ(Tool("brand decode " + Encode("Max ID")).status, 1);
  // A typing slip is pointed at: the service reads it as a zero digit.
  Result slip = Tool("brand decode " + kivo.substr(0, 31) + "G");
  EXPECT_EQ(slip.status, 1);
  EXPECT_NE(slip.err.find("'G' at character 32 is no hexadecimal digit"), std::string::npos) << slip.err;

  testenv::ScratchDir dir;
  testenv::ScopedRegistry scoped(dir, kServiceKey);
  for (const char* command : {"brand set 'Max ID'", "brand set kivo", "brand get"})
    EXPECT_EQ(Tool(command).status, 1) << command;
}

TEST(ProductConfigCommand, EncodedFilesAreWhatTheServiceReads) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry scoped(
      dir, (kServiceKey + ("\"ProductSpecificLocation\"=\"" + dir.Path() + "\"\n")).c_str());
  const std::string out = dir.File("Configuration/product_config.ini");
  const struct {
    const char* ini;
    nlohmann::json expected;
  } files[] = {
      {"[SYSTEM]\nmax_tcp_ports = 20\n[MGR]\ndevice_label = Scout\n",
       {{"loaded", true}, {"SYSTEM:max_tcp_ports", 20}, {"MGR:device_label", "Scout"}}},
      // iniparser files a section as a key without a value: such a key is absent.
      {"[VCI:has_ethernet]\n[MGR:OE_label]\n[SYSTEM:max_tcp_ports]\n",
       {{"loaded", true}, {"VCI:has_ethernet", true}, {"MGR:OE_label", ""}, {"SYSTEM:max_tcp_ports", 100}}},
  };
  for (const auto& f : files) {
    testenv::WriteFile(dir.File("product.ini"), f.ini);
    ASSERT_EQ(Tool("product-config encode " + dir.File("product.ini") + " " + out).status, 0);
    EXPECT_EQ(testenv::ReadFile(out).size() % 8, 0u);
    EXPECT_EQ(Tool("product-config decode " + out).out, f.ini);
    tooltest::ExpectFields(Json("product-config show"), f.expected);
  }
  testenv::WriteFile(out, "1234567");
  EXPECT_EQ(Tool("product-config decode " + out).status, 1);
  EXPECT_EQ(Json("product-config show")["loaded"], false);
  testenv::WriteFile(dir.File("empty.ini"), "");
  EXPECT_EQ(Tool("product-config encode " + dir.File("empty.ini") + " " + dir.File("x")).status, 1);
}

}  // namespace
