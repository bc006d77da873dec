// The registry file (the input is its text), read the way the service reads
// its values and rewritten the way the provisioning tool writes one: a value
// set reads back, a value deleted is gone, and neither touches the others.
#include "FuzzSupport.h"

#include "platform/Registry.h"

namespace {

const char* const kNames[] = {"IdentServiceDefaultLocation", "LogFileLocation", "EnableBluetooth", "Brand",
                              "ProductSpecificLocation",     "DefaultDevice",   "DisableKeepAlive"};
const char kFuzzName[] = "FuzzValue";

// The values the service reads, each as result, type and data, from one
// snapshot of its key; result is what opening the key answered.
std::vector<std::string> Snapshot(LONG& result) {
  HKEY key = nullptr;
  result = RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key);
  std::vector<std::string> values;
  for (const char* name : kNames) {
    DWORD type = REG_NONE, size = 256;
    BYTE data[256] = {};
    LONG r = result == ERROR_SUCCESS ? RegQueryValueEx(key, name, nullptr, &type, data, &size) : result;
    values.push_back(std::to_string(r) + " " + std::to_string(type) + " " +
                     std::string(reinterpret_cast<char*>(data), r == ERROR_SUCCESS ? size : 0));
  }
  if (result == ERROR_SUCCESS) RegCloseKey(key);
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = platform::RegistryFilePath();
  fuzz::WriteFile(path, data, size);
  LONG opened, again;
  const std::vector<std::string> before = Snapshot(opened);

  // Printable text from the input, quotes and backslashes included, which
  // the writer escapes.
  std::string value;
  for (size_t i = 0; i < size && value.size() < 40; ++i) value.push_back(static_cast<char>(' ' + data[i] % 95));
  const std::string keyPath = std::string("HKEY_LOCAL_MACHINE\\") + VCI_REGISTRY_KEY;
  LONG set = platform::RegistrySetString(keyPath, kFuzzName, value);
  if (opened == ERROR_INVALID_DATA) {
    // A file that does not parse is refused by the writers too, unchanged.
    FUZZ_CHECK(set == ERROR_INVALID_DATA && Snapshot(again) == before);
    return 0;
  }
  FUZZ_CHECK(set == ERROR_SUCCESS);
  std::string text;
  FUZZ_CHECK(platform::ReadRegistryString(kFuzzName, 256, text) == ERROR_SUCCESS && text == value);
  FUZZ_CHECK(Snapshot(again) == before);
  FUZZ_CHECK(platform::RegistryDeleteValue(keyPath, kFuzzName) == ERROR_SUCCESS);
  FUZZ_CHECK(platform::ReadRegistryString(kFuzzName, 256, text) == ERROR_FILE_NOT_FOUND);
  FUZZ_CHECK(Snapshot(again) == before);
  return 0;
}
