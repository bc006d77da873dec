#include "platform/VersionInfo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kSelf[] = "/proc/self/exe";

// The program's resource block, as the connection manager reads it.
std::vector<unsigned char> Block() {
  DWORD handle = 1;
  DWORD size = GetFileVersionInfoSize(kSelf, &handle);
  EXPECT_EQ(handle, 0u);
  std::vector<unsigned char> block(size, 0xCC);
  EXPECT_TRUE(size > 0 && GetFileVersionInfo(kSelf, handle, size, block.data()));
  return block;
}

// A string of the block, checked for the length the query gives; "" when
// the query fails.
std::string Text(const std::vector<unsigned char>& block, const std::string& sub) {
  void* p = nullptr;
  unsigned len = 0;
  if (!VerQueryValue(block.data(), sub.c_str(), &p, &len)) return "";
  std::string text = static_cast<const char*>(p);
  EXPECT_EQ(len, text.size() + 1) << sub;
  return text;
}

TEST(VersionInfo, TheProgramCarriesNamesAVersionAndACompileDateInTheDesignedForms) {
  const std::vector<unsigned char> block = Block();
  void* p = nullptr;
  unsigned len = 0;
  ASSERT_TRUE(VerQueryValue(block.data(), "\\VarFileInfo\\Translation", &p, &len));
  ASSERT_EQ(len, 4u);
  const WORD* translation = static_cast<const WORD*>(p);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);
  const std::string table = "\\StringFileInfo\\040904b0\\";
  EXPECT_NE(Text(block, table + "FileDescription"), "");
  EXPECT_NE(Text(block, table + "ProductName"), "");

  // The version text and the fixed numbers agree.
  const std::string version = Text(block, table + "ProductVersion");
  unsigned major = 0, minor = 0, patch = 0;
  char tail = 0;
  ASSERT_EQ(sscanf(version.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &tail), 3) << version;
  ASSERT_TRUE(VerQueryValue(block.data(), "\\", &p, &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, p, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwProductVersionMS, major << 16 | minor);
  EXPECT_EQ(fixed.dwProductVersionLS >> 16, patch);

  // "%4c%3c%2c": four digits, a lower-case English month, two digits.
  const std::string date = Text(block, table + "CompileDate");
  ASSERT_EQ(date.size(), 9u) << date;
  const size_t month = std::string("janfebmaraprmayjunjulaugsepoctnovdec").find(date.substr(4, 3));
  EXPECT_TRUE(month != std::string::npos && month % 3 == 0) << date;
  EXPECT_EQ(date.find_first_not_of("0123456789", 7), std::string::npos) << date;
  EXPECT_EQ(date.find_first_not_of("0123456789"), 4u) << date;
  // Names of sub-blocks compare case-insensitively, as on Windows.
  EXPECT_EQ(Text(block, "\\stringfileinfo\\040904B0\\productversion"), version);
}

TEST(VersionInfo, QueriesFailLikeTheResourceQueriesAndLeaveTheirOutputs) {
  DWORD handle = 0;
  EXPECT_EQ(GetFileVersionInfoSize("/no/such/file", &handle), 0u);
  EXPECT_EQ(GetFileVersionInfoSize(nullptr, nullptr), 0u);
  DWORD size = GetFileVersionInfoSize(kSelf, nullptr);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> small(size - 1, 0xCC);
  EXPECT_FALSE(GetFileVersionInfo(kSelf, 0, size - 1, small.data()));
  EXPECT_EQ(small[0], 0xCC);

  const std::vector<unsigned char> block = Block(), garbage(64, 0);
  void* p = reinterpret_cast<void*>(0x1);
  unsigned len = 77;
  EXPECT_FALSE(VerQueryValue(block.data(), "\\StringFileInfo\\040904b0\\CompanyName", &p, &len));
  EXPECT_FALSE(VerQueryValue(block.data(), "\\StringFileInfo\\040704b0\\ProductVersion", &p, &len));
  EXPECT_FALSE(VerQueryValue(garbage.data(), "\\", &p, &len));
  EXPECT_EQ(p, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(len, 77u);
}

}  // namespace
