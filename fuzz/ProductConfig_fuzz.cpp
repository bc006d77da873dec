// The product configuration file, loaded as the service loads it (registry
// value, file, decipher, ini text). The first input byte % 3 picks what the
// rest is: 0 the deciphered ini text, enciphered here as the provisioning
// tool does; 1 the file as it is; 2 the deciphered record (header word, text
// length, text), enciphered here so that mutations reach the length checks.
#include "FuzzSupport.h"

#include "host/ProductConfig.h"

namespace {

// Names a folder of the scratch folder as ProductSpecificLocation; the
// path of the file there.
std::string Install() {
  std::string location = fuzz::ScratchPath("product");
  fuzz::SetRegistryValue("ProductSpecificLocation", location);
  return CProductConfig::FilePath(location);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Install();
  static CProductConfig config;
  fuzz::Input in(data, size);
  uint8_t mode = in.Byte() % 3;
  std::string rest(reinterpret_cast<const char*>(in.Data()), in.Size());
  std::string file;
  if (mode == 0 && !CProductConfig::EncipherText(rest, file)) {
    FUZZ_CHECK(rest.empty());
    return 0;
  }
  if (mode == 1) file = rest;
  if (mode == 2) {
    fuzz::Bytes blocks = fuzz::EncipherBlocks(in.Data(), in.Size());
    file.assign(blocks.begin(), blocks.end());
  }
  fuzz::WriteFile(path, file.data(), file.size());

  // The service's load and the tool's decipherment agree on the text; a
  // text that deciphers enciphers again to a file of the same text.
  std::string text, again, refile;
  bool deciphered = CProductConfig::DecipherFile(file, text);
  int loaded = config.Load();
  if (mode == 0) FUZZ_CHECK(deciphered && text == rest);
  if (!deciphered) FUZZ_CHECK(loaded == -1);
  if (loaded == 0) FUZZ_CHECK(config.IsLoaded() && config.GetText() == text);
  if (loaded != 0) FUZZ_CHECK(!config.IsLoaded() && config.GetText().empty() && config.GetMaxTcpPorts() == 100);
  if (deciphered)
    FUZZ_CHECK(CProductConfig::EncipherText(text, refile) && CProductConfig::DecipherFile(refile, again) && again == text);
  return 0;
}
