// The registry file (the input is its text), read the way the service reads
// its values and rewritten the way the provisioning tool writes one: a value
// set reads back, a value deleted is gone, and neither touches the others.
#include "FuzzSupport.h"

#include "platform/Registry.h"

namespace {

const char* const kNames[] = {"IdentServiceDefaultLocation", "LogFileLocation", "EnableBluetooth", "Brand",
                              "ProductSpecificLocation",     "DefaultDevice",   "DisableKeepAlive"};
const char kFuzzName[] = "FuzzValue";

struct Reading {
  LONG stringResult, dwordResult;
  std::string text;
  DWORD dword = 0;
  bool operator==(const Reading& o) const {
    return stringResult == o.stringResult && dwordResult == o.dwordResult && text == o.text && dword == o.dword;
  }
};

std::vector<Reading> ReadAll() {
  std::vector<Reading> all;
  for (const char* name : kNames) {
    Reading r;
    r.stringResult = platform::ReadRegistryString(name, 256, r.text);
    r.dwordResult = platform::ReadRegistryDword(name, 4, r.dword);
    all.push_back(r);
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = platform::RegistryFilePath();
  fuzz::WriteFile(path, data, size);
  std::vector<Reading> before = ReadAll();
  HKEY key = nullptr;
  LONG opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key);
  if (opened == ERROR_SUCCESS) RegCloseKey(key);

  // Printable text from the input, quotes and backslashes included, which
  // the writer escapes.
  std::string value;
  for (size_t i = 0; i < size && value.size() < 40; ++i) value.push_back(static_cast<char>(' ' + data[i] % 95));
  const std::string keyPath = std::string("HKEY_LOCAL_MACHINE\\") + VCI_REGISTRY_KEY;
  LONG set = platform::RegistrySetString(keyPath, kFuzzName, value);
  if (opened == ERROR_INVALID_DATA) {
    // A file that does not parse is refused by the writers too, unchanged.
    FUZZ_CHECK(set == ERROR_INVALID_DATA && ReadAll() == before);
    return 0;
  }
  FUZZ_CHECK(set == ERROR_SUCCESS);
  std::string text;
  FUZZ_CHECK(platform::ReadRegistryString(kFuzzName, 256, text) == ERROR_SUCCESS && text == value);
  FUZZ_CHECK(ReadAll() == before);
  FUZZ_CHECK(platform::RegistryDeleteValue(keyPath, kFuzzName) == ERROR_SUCCESS);
  FUZZ_CHECK(platform::ReadRegistryString(kFuzzName, 256, text) == ERROR_FILE_NOT_FOUND);
  FUZZ_CHECK(ReadAll() == before);
  return 0;
}
