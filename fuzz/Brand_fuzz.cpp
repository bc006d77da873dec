// The Brand registry value text. The first input byte % 3 picks what the
// rest is: 0 the value text as it is; 1 the deciphered record (header word,
// name length, name), enciphered and written as hexadecimal here so that
// mutations reach the length checks; 2 a key name for EncodeBrandText.
// Whatever decodes encodes again to a text that decodes to the same name.
#include "FuzzSupport.h"

#include "host/Brand.h"

namespace {

std::string RecordText(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : fuzz::EncipherBlocks(data, size)) text += {digits[b >> 4], digits[b & 15]};
  return text;
}

void CheckDecoded(const std::string& name) {
  uint32_t brand = FindBrandByKeyName(name);
  if (brand != 0) FUZZ_CHECK(std::string(name.c_str()) == GetBrandKeyName(brand));  // names compare up to a NUL
  std::string text, again;
  if (!EncodeBrandText(name, text)) return;
  FUZZ_CHECK(DecodeBrandText(text, again) == BRAND_TEXT_OK && again == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t mode = in.Byte() % 3;
  std::string rest(reinterpret_cast<const char*>(in.Data()), in.Size());
  std::string name;
  if (mode == 2) {
    CheckDecoded(rest);
    return 0;
  }
  std::string text = mode == 0 ? rest : RecordText(in.Data(), in.Size());
  if (DecodeBrandText(text, name) == BRAND_TEXT_OK) CheckDecoded(name);
  return 0;
}
