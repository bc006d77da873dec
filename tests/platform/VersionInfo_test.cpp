#include "platform/VersionInfo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kSelf[] = "/proc/self/exe";

// Reads the program's resource the way the connection manager does: first
// translation, then a string of the table it selects.
struct Resource {
  std::vector<unsigned char> block;
  bool Read(const char* path = kSelf) {
    DWORD handle = 1;
    DWORD size = GetFileVersionInfoSize(path, &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0) return false;
    block.assign(size, 0xCC);
    return GetFileVersionInfo(path, handle, size, block.data()) != 0;
  }
  bool Translation(WORD& language, WORD& codePage) {
    void* p = nullptr;
    unsigned len = 0;
    if (!VerQueryValue(block.data(), "\\VarFileInfo\\Translation", &p, &len) || len < 4) return false;
    const WORD* w = static_cast<const WORD*>(p);
    language = w[0];
    codePage = w[1];
    return true;
  }
  bool String(const char* name, std::string& text) {
    WORD language = 0, codePage = 0;
    if (!Translation(language, codePage)) return false;
    char sub[128];
    snprintf(sub, sizeof sub, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
    void* p = nullptr;
    unsigned len = 0;
    if (!VerQueryValue(block.data(), sub, &p, &len)) return false;
    text = static_cast<const char*>(p);
    EXPECT_EQ(len, text.size() + 1) << name;
    return true;
  }
};

TEST(VersionInfo, TheProgramCarriesNamesAVersionAndACompileDateInTheDesignedForms) {
  Resource r;
  ASSERT_TRUE(r.Read());
  WORD language = 0, codePage = 0;
  ASSERT_TRUE(r.Translation(language, codePage));
  EXPECT_EQ(language, 0x0409);
  EXPECT_EQ(codePage, 0x04B0);

  std::string description, product, version, date;
  ASSERT_TRUE(r.String("FileDescription", description));
  ASSERT_TRUE(r.String("ProductName", product));
  ASSERT_TRUE(r.String("ProductVersion", version));
  ASSERT_TRUE(r.String("CompileDate", date));
  EXPECT_FALSE(description.empty());
  EXPECT_FALSE(product.empty());

  // The version text and the fixed numbers agree.
  unsigned major = 0, minor = 0, patch = 0;
  char tail = 0;
  ASSERT_EQ(sscanf(version.c_str(), "%u.%u.%u%c", &major, &minor, &patch, &tail), 3) << version;
  void* p = nullptr;
  unsigned len = 0;
  ASSERT_TRUE(VerQueryValue(r.block.data(), "\\", &p, &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, p, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwProductVersionMS, major << 16 | minor);
  EXPECT_EQ(fixed.dwProductVersionLS >> 16, patch);

  // "%4c%3c%2c": four digits, a lower-case English month, two digits.
  ASSERT_EQ(date.size(), 9u) << date;
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  bool month = false;
  for (const char* m : kMonths) month = month || date.compare(4, 3, m) == 0;
  EXPECT_TRUE(month) << date;
  for (size_t i : {0, 1, 2, 3, 7, 8}) EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;

  // Names of sub-blocks compare case-insensitively, as on Windows.
  EXPECT_TRUE(VerQueryValue(r.block.data(), "\\stringfileinfo\\040904B0\\productversion", &p, &len));
  EXPECT_EQ(std::string(static_cast<const char*>(p)), version);
}

TEST(VersionInfo, QueriesFailLikeTheResourceQueries) {
  DWORD handle = 0;
  EXPECT_EQ(GetFileVersionInfoSize("/no/such/file", &handle), 0u);
  EXPECT_EQ(GetFileVersionInfoSize(nullptr, nullptr), 0u);

  DWORD size = GetFileVersionInfoSize(kSelf, nullptr);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> small(size - 1, 0xCC);
  EXPECT_FALSE(GetFileVersionInfo(kSelf, 0, size - 1, small.data()));
  EXPECT_EQ(small[0], 0xCC);  // Nothing written.

  Resource r;
  ASSERT_TRUE(r.Read());
  void* p = reinterpret_cast<void*>(0x1);
  unsigned len = 77;
  EXPECT_FALSE(VerQueryValue(r.block.data(), "\\StringFileInfo\\040904b0\\CompanyName", &p, &len));
  EXPECT_FALSE(VerQueryValue(r.block.data(), "\\StringFileInfo\\040704b0\\ProductVersion", &p, &len));
  std::vector<unsigned char> garbage(64, 0);
  EXPECT_FALSE(VerQueryValue(garbage.data(), "\\", &p, &len));
  EXPECT_EQ(p, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(len, 77u);
}

TEST(VersionInfo, AReplacedResourceIsWhatTheQueriesSeeUntilRestored) {
  platform::VersionResource odd;
  odd.language = 0x0407;
  odd.codePage = 0x04E4;
  odd.strings = {{"ProductVersion", "2, 7, b, x"}, {"CompileDate", "garbage"}};
  platform::SetVersionResource(&odd);
  Resource r;
  ASSERT_TRUE(r.Read());
  std::string text;
  EXPECT_TRUE(r.String("ProductVersion", text));
  EXPECT_EQ(text, "2, 7, b, x");
  EXPECT_FALSE(r.String("FileDescription", text));

  platform::SetNoVersionResource();
  EXPECT_EQ(GetFileVersionInfoSize(kSelf, nullptr), 0u);
  std::vector<unsigned char> block(4096);
  EXPECT_FALSE(GetFileVersionInfo(kSelf, 0, static_cast<DWORD>(block.size()), block.data()));

  platform::SetVersionResource(nullptr);
  ASSERT_TRUE(r.Read());
  EXPECT_TRUE(r.String("FileDescription", text));
}

}  // namespace
