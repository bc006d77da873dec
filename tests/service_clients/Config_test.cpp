#include <gtest/gtest.h>

#include "service_clients/Config.h"

#include "service_clients/Config.h"
#include "service_clients/WireBytes.h"

// Runs once the VCI status records are in the tree.
#if defined(VCI_HAVE_CONFIG)

using wire::Builder;
using wire::Bytes;

namespace {

// A CArgList named name holding one pair.
Bytes ArgList(const std::string& name, const std::string& key, const std::string& value) {
  return Builder().u32(2123).i32(0).u32(1).str(name).u32(1).u32(2122).u32(1).str(key).str(value);
}

TEST(CConfig, SectionsTravelInKeyOrderAndARepeatedKeyFails) {
  Bytes image = Builder()
                    .u32(2018).i32(0).u32(1).u32(2)
                    .u32(3).raw(ArgList("net", "ip", "1.2.3.4"))
                    .u32(16).raw(ArgList("wifi", "ssid", "shop"));
  CConfig config;
  ASSERT_TRUE(wire::Load(config, image));
  EXPECT_EQ(config.GetSections().size(), 2u);
  EXPECT_EQ(wire::Store(config), image);

  CArgList out;
  EXPECT_EQ(config.GetConfig(16, out), 0);
  EXPECT_EQ(config.GetConfig(99, out), -1);
  EXPECT_EQ(config.Remove(3), 0);
  EXPECT_EQ(config.Remove(3), -1);
  EXPECT_FALSE(config.IsEmpty());
  config.Clear();
  EXPECT_TRUE(config.IsEmpty());

  Bytes repeated = Builder()
                       .u32(2018).i32(0).u32(1).u32(2)
                       .u32(3).raw(ArgList("a", "k", "v"))
                       .u32(3).raw(ArgList("b", "k", "v"));
  EXPECT_FALSE(wire::Load(config, repeated));

  wire::ExpectEveryPrefixFails<CConfig>(image);
  wire::ExpectWrongIdsFail<CConfig>(image);

  CConfig empty;
  empty.Set(7, CArgList());
  ASSERT_TRUE(wire::Load(empty, Builder().u32(2018).i32(-1).u32(0)));
  EXPECT_EQ(empty.GetResult(), -1);
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_FALSE(wire::Load(empty, Builder().u32(2018).i32(0).u32(1).u32(0x20000000)));
}

TEST(CConfig, SetReplacesASection) {
  CConfig config;
  CArgList a, b, out;
  ASSERT_TRUE(wire::Load(a, ArgList("a", "k", "1")));
  ASSERT_TRUE(wire::Load(b, ArgList("b", "k", "2")));
  config.Set(7, a);
  config.Set(7, b);
  EXPECT_EQ(config.GetSections().size(), 1u);
  ASSERT_EQ(config.GetConfig(7, out), 0);
  EXPECT_EQ(wire::Store(out), ArgList("b", "k", "2"));
}

}  // namespace

#endif
