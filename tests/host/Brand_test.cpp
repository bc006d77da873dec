#include "host/Brand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/ProductKeyData.h"

namespace {

// A registry record built by hand: header, the given name length, the bytes,
// zero fill to `size`, enciphered under the default key, as hexadecimal.
std::string Record(uint32_t nameLength, const std::string& bytes, size_t size) {
  std::vector<uint8_t> r(size, 0);
  r[0] = 7;
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<uint8_t>(nameLength >> (8 * i));
  std::copy(bytes.begin(), bytes.end(), r.begin() + 8);
  CBlowfishCipher bf;
  EXPECT_EQ(bf.SetKey(g_DefaultCipherKey, 56), 0);
  EXPECT_EQ(bf.Encrypt(r.data(), static_cast<uint32_t>(r.size()), "ecb", nullptr), 0);
  std::string s;
  for (uint8_t b : r) s += "0123456789ABCDEF"[b >> 4], s += "0123456789ABCDEF"[b & 15];
  return s;
}

std::string Encoded(const std::string& name) {
  std::string text;
  EXPECT_TRUE(EncodeBrandText(name, text)) << name;
  return text;
}

// Whatever decodes encodes again to the same name (the fuzz target checks
// that for any input); here the names, the limits and each way to fail.
TEST(BrandText, KeyNamesResolveExactlyAndValuesDecodeOrFailByTheirShape) {
  for (uint32_t s = 1; s <= 15; ++s) EXPECT_EQ(FindBrandByKeyName(GetBrandKeyName(s)), s);
  EXPECT_EQ(GetBrandKeyName(16), nullptr);
  EXPECT_EQ(GetBrandDisplayName(16), nullptr);
  // Names compare exactly, and the walk stops at the terminator.
  for (const char* other : {"kivo", "KIVO ", "Max ID", ""}) EXPECT_EQ(FindBrandByKeyName(other), 0u) << other;
  std::string text;
  EXPECT_FALSE(EncodeBrandText("", text));
  EXPECT_TRUE(EncodeBrandText(std::string(103, 'A'), text));  // 112 bytes: 224 digits fit 240
  EXPECT_FALSE(EncodeBrandText(std::string(113, 'A'), text));

  const std::string kivo = Encoded("KIVO");
  std::string lower = Encoded("TRUCKLINE"), slip = Record(4, "KIVO", 16);
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  // A character that is no hexadecimal digit counts as 0.
  ASSERT_NE(slip.find('0'), std::string::npos);
  std::replace(slip.begin(), slip.end(), '0', 'x');
  const struct {
    std::string text;
    BrandTextResult result;
    std::string name;
  } cases[] = {
      {"", BRAND_TEXT_TOO_SHORT, ""}, {"AB", BRAND_TEXT_TOO_SHORT, ""}, {kivo + "0", BRAND_TEXT_ODD_LENGTH, ""},
      {kivo.substr(0, kivo.size() - 1), BRAND_TEXT_ODD_LENGTH, ""}, {"ABCD", BRAND_TEXT_NOT_DECIPHERED, ""},
      {kivo + "00112233", BRAND_TEXT_NOT_DECIPHERED, ""},  // 12 bytes: not whole blocks
      {Record(33, "KIVO", 16), BRAND_TEXT_BAD_LENGTH, ""},  // beyond the text
      {Record(9, "KIVO", 16), BRAND_TEXT_BAD_LENGTH, ""},   // beyond the record's bytes
      {Record(8, "KIVO_OEM", 16), BRAND_TEXT_OK, "KIVO_OEM"},
      {Record(9, std::string("DEMO\0junk", 9), 24), BRAND_TEXT_OK, "DEMO"},  // names end at a NUL
      {kivo + std::string(1, '\0') + "FF", BRAND_TEXT_OK, "KIVO"},  // the text ends at a NUL
      {lower, BRAND_TEXT_OK, "TRUCKLINE"}, {slip, BRAND_TEXT_OK, "KIVO"},
  };
  for (const auto& c : cases) {
    std::string name;
    EXPECT_EQ(DecodeBrandText(c.text, name), c.result) << c.text;
    EXPECT_EQ(c.result == BRAND_TEXT_OK ? name : "", c.name) << c.text;
  }
}

// The resolved number is process-wide, so the whole life cycle is one test:
// failures keep nothing, the first success is kept for good.
TEST(GetBrand, FailsUntilTheRegistryResolvesThenKeepsTheNumber) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, nullptr);
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n";
  uint32_t brand = 77;
  EXPECT_FALSE(GetBrand(brand));  // no registry file
  for (const std::string& text :
       {std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER]\n\"Brand\"=\"00\"\n"), key + "\"Other\"=\"x\"\n",
        key + "\"Brand\"=dword:00000005\n", key + "\"Brand\"=\"" + Encoded("Max ID") + "\"\n"}) {
    testenv::WriteFile(reg.Path(), text);
    EXPECT_FALSE(GetBrand(brand)) << text;
  }
  EXPECT_EQ(brand, 77u) << "a failure leaves the output alone";
  for (const char* name : {"AGRITECH", "KIVO"}) {  // the second is never read
    testenv::WriteFile(reg.Path(), key + "\"Brand\"=\"" + Encoded(name) + "\"\n");
    ASSERT_TRUE(GetBrand(brand));
    EXPECT_EQ(brand, 5u);
  }
}

}  // namespace
