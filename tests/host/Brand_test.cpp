#include "host/Brand.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/ProductKeyData.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

// A registry record built by hand: header, the given name length, the bytes,
// zero fill to `size`, enciphered under the default key.
std::string Record(uint32_t nameLength, const std::string& bytes, size_t size) {
  std::vector<uint8_t> r(size, 0);
  r[0] = 7;
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<uint8_t>(nameLength >> (8 * i));
  std::copy(bytes.begin(), bytes.end(), r.begin() + 8);
  CBlowfishCipher bf;
  EXPECT_EQ(bf.SetKey(g_DefaultCipherKey, 56), 0);
  EXPECT_EQ(bf.Encrypt(r.data(), static_cast<uint32_t>(r.size()), "ecb", nullptr), 0);
  return Hex(r);
}

std::string Registry(const std::string& brandText) {
  return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"Brand\"=\"" +
         brandText + "\"\n";
}

TEST(BrandText, EveryBrandKeyNameSurvivesEncodingAndResolvesToItsNumber) {
  for (uint32_t s = 1; s <= 15; ++s) {
    std::string text, name;
    ASSERT_TRUE(EncodeBrandText(GetBrandKeyName(s), text)) << s;
    EXPECT_EQ(text.size() % 16, 0u);
    ASSERT_EQ(DecodeBrandText(text, name), BRAND_TEXT_OK) << s;
    EXPECT_EQ(name, GetBrandKeyName(s));
    EXPECT_EQ(FindBrandByKeyName(name), s);
  }
}

TEST(BrandText, DigitsDecodeCaseInsensitivelyAndOtherCharactersCountAsZero) {
  std::string text, lower, name;
  ASSERT_TRUE(EncodeBrandText("TRUCKLINE", text));
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  ASSERT_EQ(DecodeBrandText(lower, name), BRAND_TEXT_OK);
  EXPECT_EQ(name, "TRUCKLINE");

  // Find an encoded name with a '0' digit and spell it with a non-digit.
  bool tried = false;
  for (uint32_t s = 1; s <= 15 && !tried; ++s) {
    ASSERT_TRUE(EncodeBrandText(GetBrandKeyName(s), text));
    if (text.find('0') == std::string::npos) continue;
    for (char& c : text)
      if (c == '0') c = 'x';
    ASSERT_EQ(DecodeBrandText(text, name), BRAND_TEXT_OK);
    EXPECT_EQ(name, GetBrandKeyName(s));
    tried = true;
  }
  EXPECT_TRUE(tried);
}

TEST(BrandText, ShortOddUnblockedAndOverlongValuesFail) {
  std::string text, name;
  ASSERT_TRUE(EncodeBrandText("KIVO", text));
  EXPECT_EQ(DecodeBrandText("", name), BRAND_TEXT_TOO_SHORT);
  EXPECT_EQ(DecodeBrandText("AB", name), BRAND_TEXT_TOO_SHORT);
  EXPECT_EQ(DecodeBrandText(text + "0", name), BRAND_TEXT_ODD_LENGTH);
  EXPECT_EQ(DecodeBrandText(text.substr(0, text.size() - 1), name), BRAND_TEXT_ODD_LENGTH);
  // 12 bytes: not whole cipher blocks.
  EXPECT_EQ(DecodeBrandText(text + "00112233", name), BRAND_TEXT_NOT_DECIPHERED);
  EXPECT_EQ(DecodeBrandText("ABCD", name), BRAND_TEXT_NOT_DECIPHERED);
  // A name length beyond the text, and one beyond the record's own bytes.
  EXPECT_EQ(DecodeBrandText(Record(33, "KIVO", 16), name), BRAND_TEXT_BAD_LENGTH);
  EXPECT_EQ(DecodeBrandText(Record(9, "KIVO", 16), name), BRAND_TEXT_BAD_LENGTH);
  EXPECT_EQ(DecodeBrandText(Record(8, "KIVO_OEM", 16), name), BRAND_TEXT_OK);
  EXPECT_EQ(name, "KIVO_OEM");
  // Characters after a NUL are not part of the text.
  EXPECT_EQ(DecodeBrandText(text + std::string(1, '\0') + "FF", name), BRAND_TEXT_OK);
  EXPECT_EQ(name, "KIVO");
}

TEST(BrandText, NamesCompareExactlyAsTerminatedStringsAndTheTerminatorNamesNothing) {
  std::string name;
  EXPECT_EQ(FindBrandByKeyName("KIVO"), 1u);
  EXPECT_EQ(FindBrandByKeyName("kivo"), 0u);
  EXPECT_EQ(FindBrandByKeyName("KIVO "), 0u);
  EXPECT_EQ(FindBrandByKeyName("Max ID"), 0u);
  EXPECT_EQ(FindBrandByKeyName(""), 0u);
  // A record whose name holds a NUL names what comes before it.
  ASSERT_EQ(DecodeBrandText(Record(9, std::string("DEMO\0junk", 9), 24), name), BRAND_TEXT_OK);
  EXPECT_EQ(FindBrandByKeyName(name), 14u);

  EXPECT_STREQ(GetBrandKeyName(1), "KIVO");
  EXPECT_NE(GetBrandDisplayName(15), nullptr);
  EXPECT_EQ(GetBrandKeyName(0), nullptr);
  EXPECT_EQ(GetBrandKeyName(16), nullptr);
  EXPECT_EQ(GetBrandDisplayName(16), nullptr);
}

TEST(BrandText, EncodingRefusesNamesTheRegistryBufferCannotHold) {
  std::string text;
  EXPECT_FALSE(EncodeBrandText("", text));
  EXPECT_TRUE(EncodeBrandText(std::string(103, 'A'), text));  // 112 bytes: 224 digits
  EXPECT_FALSE(EncodeBrandText(std::string(113, 'A'), text));
}

// The resolved number is process-wide, so the whole life cycle is one test:
// failures keep nothing, the first success is kept for good.
TEST(GetBrand, FailsUntilTheRegistryResolvesThenKeepsTheNumber) {
  testenv::ScratchDir dir;
  uint32_t brand = 77;
  {
    testenv::ScopedRegistry reg(dir, nullptr);
    EXPECT_FALSE(GetBrand(brand));
  }
  {
    testenv::ScopedRegistry reg(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER]\n\"Brand\"=\"00\"\n");
    EXPECT_FALSE(GetBrand(brand));
  }
  {
    testenv::ScopedRegistry reg(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"Other\"=\"x\"\n");
    EXPECT_FALSE(GetBrand(brand));
  }
  std::string maxId, agritech;
  ASSERT_TRUE(EncodeBrandText("Max ID", maxId));
  ASSERT_TRUE(EncodeBrandText("AGRITECH", agritech));
  for (const std::string& bad : {std::string("AB"), agritech + "0", agritech.substr(0, 24), maxId}) {
    testenv::ScopedRegistry reg(dir, Registry(bad).c_str());
    EXPECT_FALSE(GetBrand(brand)) << bad;
  }
  EXPECT_EQ(brand, 77u) << "a failure leaves the output alone";
  {
    testenv::ScopedRegistry reg(dir, Registry(agritech).c_str());
    ASSERT_TRUE(GetBrand(brand));
    EXPECT_EQ(brand, 5u);
  }
  // From now on the registry is not read again.
  std::string kivo;
  ASSERT_TRUE(EncodeBrandText("KIVO", kivo));
  testenv::ScopedRegistry reg(dir, Registry(kivo).c_str());
  brand = 0;
  ASSERT_TRUE(GetBrand(brand));
  EXPECT_EQ(brand, 5u);
}

}  // namespace
