#include "serialize/BlowfishCipher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

// Enciphers (or deciphers) hex text with a hex key; returns hex or the code.
std::string Crypt(bool encrypt, const std::string& key, const std::string& data, const char* mode,
                const std::string& iv = "") {
  CBlowfishCipher bf;
  std::vector<uint8_t> k = Hex(key), d = Hex(data), v = Hex(iv);
  int ret = bf.SetKey(k.data(), static_cast<uint32_t>(k.size()));
  if (ret != 0) return "SetKey " + std::to_string(ret);
  const uint8_t* ivp = iv.empty() ? nullptr : v.data();
  ret = encrypt ? bf.Encrypt(d.data(), static_cast<uint32_t>(d.size()), mode, ivp)
                : bf.Decrypt(d.data(), static_cast<uint32_t>(d.size()), mode, ivp);
  if (ret != 0) return "code " + std::to_string(ret);
  return ToHex(d);
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Eric Young's published ECB vectors (schneier.com/code/vectors.txt).
const Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishCipher, ReproducesThePublishedEcbVectorsBothWays) {
  for (const Vector& v : kEcbVectors) {
    EXPECT_EQ(Crypt(true, v.key, v.plain, "ecb"), v.cipher) << "key " << v.key;
    EXPECT_EQ(Crypt(false, v.key, v.cipher, "ecb"), v.plain) << "key " << v.key;
  }
}

// The published "set_key" series: the first 1 to 24 bytes of one key, one
// plaintext. It exercises the cyclic use of short keys in the key schedule.
TEST(BlowfishCipher, ReproducesThePublishedVariableKeyLengthVectors) {
  const std::string key = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
  const char* expected[24] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
      "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
      "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
      "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
  for (size_t n = 1; n <= 24; ++n)
    EXPECT_EQ(Crypt(true, key.substr(0, 2 * n), "FEDCBA9876543210", "ecb"), expected[n - 1]) << n << " key bytes";
}

// The published chaining-mode vectors: "7654321 Now is the time for " and its
// terminating NUL (29 bytes), zero-filled here to 32. The feedback modes are
// byte streams, so their first 29 published bytes must match whatever the fill.
TEST(BlowfishCipher, ReproducesThePublishedChainingModeVectors) {
  const std::string key = "0123456789ABCDEFF0E1D2C3B4A59687", iv = "FEDCBA9876543210";
  const std::string plain = "37363534333231204E6F77206973207468652074696D6520666F722000000000";
  EXPECT_EQ(Crypt(true, key, plain, "cbc", iv), "6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC");
  EXPECT_EQ(Crypt(true, key, plain, "cfb", iv).substr(0, 58), "E73214A2822139CAF26ECF6D2EB9E76E3DA3DE04D1517200519D57A6C3");
  EXPECT_EQ(Crypt(true, key, plain, "ofb", iv).substr(0, 58), "E73214A2822139CA62B343CC5B65587310DD908D0C241B2263C2CF80DA");
  for (const char* mode : {"ecb", "cbc", "cfb", "ofb"})
    EXPECT_EQ(Crypt(false, key, Crypt(true, key, plain, mode, iv), mode, iv), plain) << mode;
}

// A 56-byte key (01 02 ... 38) in every mode; the expected values come from
// OpenSSL's Blowfish through Python's cryptography package.
TEST(BlowfishCipher, FullLengthKeysAgreeWithAnIndependentImplementation) {
  std::string key;
  for (int i = 1; i <= 56; ++i) key += ToHex({static_cast<uint8_t>(i)});
  const std::string plain = "0123456789ABCDEFFEDCBA98765432100000000000000000", iv = "FEDCBA9876543210";
  EXPECT_EQ(Crypt(true, key, plain, "ecb"), "D08F329BFCFD1564E64E22EA335ACD61AD9F57F87C8855C1");
  EXPECT_EQ(Crypt(true, key, plain, "cbc", iv), "4AD778E4E673D6B15E12830E3319A981A74F2FE1FC38D07B");
  EXPECT_EQ(Crypt(true, key, plain, "cfb", iv), "E76D678DBAF1008ED5897006C70F8E99DB1433CB5BBAEF1F");
  EXPECT_EQ(Crypt(true, key, plain, "ofb", iv), "E76D678DBAF1008EACFFDC53A6B6ABE96EE03BA56C2A6AF7");
  for (const char* mode : {"ecb", "cbc", "cfb", "ofb"})
    EXPECT_EQ(Crypt(false, key, Crypt(true, key, plain, mode, iv), mode, iv), plain) << mode;
}

TEST(BlowfishCipher, AMissingVectorIsEightZeroBytes) {
  const std::string key = "0123456789ABCDEF", plain = "11111111111111112222222222222222";
  for (const char* mode : {"cbc", "cfb", "ofb"})
    EXPECT_EQ(Crypt(true, key, plain, mode), Crypt(true, key, plain, mode, "0000000000000000")) << mode;
  // With a zero vector the first CBC block is plain ECB.
  EXPECT_EQ(Crypt(true, key, plain, "cbc").substr(0, 16), "61F9C3802281B096");
}

TEST(BlowfishCipher, RejectsBadKeysAndArgumentsWithTheirCodes) {
  CBlowfishCipher bf;
  uint8_t key[57] = {1};
  EXPECT_EQ(bf.SetKey(key, 57), -1);
  EXPECT_EQ(bf.SetKey(key, 0), -1);
  EXPECT_EQ(bf.SetKey(nullptr, 8), -1);
  EXPECT_EQ(bf.SetKey(key, 56), 0);

  uint8_t data[16] = {0};
  EXPECT_EQ(bf.Encrypt(nullptr, 16, "ecb", nullptr), -4);
  EXPECT_EQ(bf.Encrypt(nullptr, 5, nullptr, nullptr), -4);
  EXPECT_EQ(bf.Encrypt(data, 12, "ecb", nullptr), -1);
  EXPECT_EQ(bf.Decrypt(data, 12, nullptr, nullptr), -1);
  EXPECT_EQ(bf.Encrypt(data, 16, nullptr, nullptr), -2);
  EXPECT_EQ(bf.Decrypt(data, 16, "ctr", nullptr), -3);
  EXPECT_EQ(bf.Encrypt(data, 16, "ECB", nullptr), -3);
  for (uint8_t b : data) EXPECT_EQ(b, 0) << "a refused call must not touch the data";
  EXPECT_EQ(bf.Encrypt(data, 0, "ecb", nullptr), 0);
}

TEST(BlowfishCipher, ANewKeyReplacesTheOldOneCompletely) {
  // Keying twice must start from the initial tables, not from the first key's.
  CBlowfishCipher bf;
  std::vector<uint8_t> first = Hex("FFFFFFFFFFFFFFFF"), second = Hex("0123456789ABCDEF");
  ASSERT_EQ(bf.SetKey(first.data(), 8), 0);
  ASSERT_EQ(bf.SetKey(second.data(), 8), 0);
  std::vector<uint8_t> block = Hex("1111111111111111");
  ASSERT_EQ(bf.Encrypt(block.data(), 8, "ecb", nullptr), 0);
  EXPECT_EQ(ToHex(block), "61F9C3802281B096");
}

}  // namespace
