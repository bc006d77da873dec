// non-vci-bt.txt (the input is its text) through the Bluetooth manager's
// non-VCI list: the list is read from it, then a device judged not to be a
// VCI is recorded. The file then either keeps its text or reads back with
// every device the list had read from it and the new one. It keeps its text
// when it is no ini text, when it cannot be written back with every entry
// (a section named with a colon), and also when its first section's count
// is missing or larger than the section can hold: such a file is not one the
// manager wrote, and numbering on from its count would put the new device
// where no later load finds it, so the device is remembered for the run
// only. Addresses are compared without surrounding blanks: the ini writer
// does not quote, so blanks that only quotes kept ("=' 00:1b:...") are lost
// in a write, as in every ini file of the service; no device address has
// any.
#include "FuzzSupport.h"

#include <set>

#include "bluetooth/NonVciList.h"
#include "host/IniFile.h"

namespace {

const char kDevice[] = "00:1b:dc:00:00:02";

std::string Trimmed(const std::string& v) {
  const size_t first = v.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : v.substr(first, v.find_last_not_of(" \t") - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::MakeDataLocation("nonvci") + "/non-vci-bt.txt";
  fuzz::WriteFile(path, data, size);
  CIniFile before;
  const bool parsed = before.Load(path);
  CNonVciList list;
  FUZZ_CHECK(list.Load() == 0);
  // A device already listed is never judged again.
  if (list.Contains(kDevice)) return 0;
  list.Add(kDevice, "Headset");
  FUZZ_CHECK(list.Contains(kDevice));

  const std::string input(reinterpret_cast<const char*>(data), size);
  if (fuzz::ReadFile(path) == input) return 0;
  FUZZ_CHECK(parsed);
  CNonVciList again;
  FUZZ_CHECK(again.Load() == 0);
  std::set<std::string> readBack;
  for (const std::string& address : again.GetAddresses()) readBack.insert(Trimmed(address));
  for (const std::string& address : list.GetAddresses()) FUZZ_CHECK(readBack.count(Trimmed(address)) == 1);
  return 0;
}
