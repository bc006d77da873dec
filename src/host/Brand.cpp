#include "host/Brand.h"

#include <cstring>
#include <vector>

#include "platform/Mutex.h"
#include "platform/Registry.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/CipherKey.h"
#include "serialize/ProductKeyData.h"

namespace {

// The registry value is read into a zeroed buffer of this size.
const uint32_t kValueBufferSize = 240;
const uint32_t kRecordHeaderSize = 8;
// Header word of the records that EncodeBrandText writes: a record format
// number, since the lookup never reads the word.
const uint32_t kRecordHeaderWord = 1;

CMutex g_BrandLock;
uint32_t g_uiBrand GUARDED_BY(g_BrandLock) = 0;  // 0 until the first success.

int Digit(char c) {
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void PutU32(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

const BrandRecord* FindRecord(uint32_t selector) {
  for (const BrandRecord* r = g_BrandRecords; r->selector != BRAND_TERMINATOR_SELECTOR; ++r)
    if (r->selector == selector) return r;
  return nullptr;
}

}  // namespace

const char* BrandTextResultText(BrandTextResult result) {
  switch (result) {
    case BRAND_TEXT_OK:
      return "decodes";
    case BRAND_TEXT_TOO_SHORT:
      return "the value has fewer than 3 characters";
    case BRAND_TEXT_ODD_LENGTH:
      return "the value has an odd number of hexadecimal digits";
    case BRAND_TEXT_NOT_DECIPHERED:
      return "the value does not decipher (its bytes are not whole 8-byte blocks)";
    case BRAND_TEXT_BAD_LENGTH:
      return "the deciphered name length runs past the record";
  }
  return "unknown";
}

BrandTextResult DecodeBrandText(const std::string& value, std::string& keyName) {
  std::string text(value.c_str());  // the characters before the first NUL
  size_t length = text.size();
  if (length < 3) return BRAND_TEXT_TOO_SHORT;
  // A last digit without a partner would fall outside the decoded bytes; a
  // value of that shape was never written by a provisioning tool, so it is
  // refused rather than decoded from a truncated text.
  if (length % 2 != 0) return BRAND_TEXT_ODD_LENGTH;
  std::vector<uint8_t> bytes(length / 2, 0);
  for (size_t i = 0; i < length; i += 2)
    bytes[i / 2] = static_cast<uint8_t>(16 * Digit(text[i]) + Digit(text[i + 1]));

  CBlowfishCipher cipher;
  if (cipher.SetKey(GetCipherKey(0, 0), CBlowfishCipher::MAX_KEY_LENGTH) != 0 ||
      cipher.Decrypt(bytes.data(), static_cast<uint32_t>(bytes.size()), "ecb", nullptr) != 0)
    return BRAND_TEXT_NOT_DECIPHERED;

  // At least 8 bytes are there: a whole block, and the length is at least 4.
  uint32_t n = GetU32(bytes.data() + 4);
  // The name must fit the text it replaces and, beyond that, the bytes that
  // actually came out of the record.
  if (n > length || n > bytes.size() - kRecordHeaderSize) return BRAND_TEXT_BAD_LENGTH;
  keyName.assign(reinterpret_cast<const char*>(bytes.data() + kRecordHeaderSize), n);
  keyName = keyName.c_str();  // names compare as NUL-terminated strings
  return BRAND_TEXT_OK;
}

bool EncodeBrandText(const std::string& keyName, std::string& text) {
  if (keyName.empty() || keyName.find('\0') != std::string::npos) return false;
  size_t recordSize = (kRecordHeaderSize + keyName.size() + 7) / 8 * 8;
  // Two digits a byte plus the terminator must fit the registry buffer.
  if (2 * recordSize + 1 > kValueBufferSize) return false;
  std::vector<uint8_t> record(recordSize, 0);
  PutU32(kRecordHeaderWord, record.data());
  PutU32(static_cast<uint32_t>(keyName.size()), record.data() + 4);
  std::memcpy(record.data() + kRecordHeaderSize, keyName.data(), keyName.size());
  CBlowfishCipher cipher;
  if (cipher.SetKey(GetCipherKey(0, 0), CBlowfishCipher::MAX_KEY_LENGTH) != 0 ||
      cipher.Encrypt(record.data(), static_cast<uint32_t>(record.size()), "ecb", nullptr) != 0)
    return false;
  static const char* digits = "0123456789ABCDEF";
  text.clear();
  for (uint8_t b : record) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 15]);
  }
  return true;
}

uint32_t FindBrandByKeyName(const std::string& keyName) {
  for (const BrandRecord* r = g_BrandRecords; r->selector != BRAND_TERMINATOR_SELECTOR; ++r)
    if (std::strcmp(keyName.c_str(), r->keyName) == 0) return r->selector;
  return 0;
}

const char* GetBrandKeyName(uint32_t selector) {
  const BrandRecord* r = FindRecord(selector);
  return r ? r->keyName : nullptr;
}

const char* GetBrandDisplayName(uint32_t selector) {
  const BrandRecord* r = FindRecord(selector);
  return r ? r->displayName : nullptr;
}

bool GetBrand(uint32_t& brand, std::string* why) {
  {
    CMutexLock guard(g_BrandLock);
    if (g_uiBrand != 0) {
      brand = g_uiBrand;
      return true;
    }
  }
  // The resolution itself runs unlocked: its only caller is the discovery
  // engine's Initialize.
  std::string value, keyName, ignored;
  std::string& reason = why ? *why : ignored;
  platform::RegistryStep step = platform::RegistryStep::NONE;
  const LONG r = platform::ReadRegistryString("Brand", kValueBufferSize, value, &step);
  if (r != ERROR_SUCCESS) {
    reason = platform::DescribeRegistryFailure(r, step, "Brand");
    return false;
  }
  const std::string named = "the value \"Brand\" under HKEY_LOCAL_MACHINE\\" + std::string(VCI_REGISTRY_KEY) + " in " +
                            platform::RegistryFilePath();
  const BrandTextResult decoded = DecodeBrandText(value, keyName);
  if (decoded != BRAND_TEXT_OK) {
    reason = named + " is garbled: " + BrandTextResultText(decoded);
    return false;
  }
  uint32_t selector = FindBrandByKeyName(keyName);
  if (selector == 0) {
    // A garbled record may decipher to any bytes: only a printable name is shown.
    bool printable = !keyName.empty();
    for (char c : keyName) printable = printable && c >= ' ' && c <= '~';
    reason = named + " names no brand of this program (" +
             (printable ? "\"" + keyName + "\"" : "a key name of " + std::to_string(keyName.size()) + " bytes") +
             "; vci-ident-tool brand list shows the brands)";
    return false;
  }
  CMutexLock guard(g_BrandLock);
  g_uiBrand = selector;
  brand = selector;
  return true;
}
