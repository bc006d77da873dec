// non-vci-bt.txt (the input is its text) through the Bluetooth manager's
// non-VCI list: the list is read from it, then a device judged not to be a
// VCI is recorded. The file then either keeps its text or reads back with
// every device the list had read from it and the new one. It keeps its text
// when it is no ini text, when it cannot be written back with every entry
// (a section named with a colon), and also when its first section's count
// is missing or larger than the section can hold: such a file is not one the
// manager wrote, and numbering on from its count would put the new device
// where no later load finds it, so the device is remembered for the run
// only. Every address reads back byte for byte, also one that only quotes
// kept as it was ("=' 00:1b:...", a carriage return).
#include "FuzzSupport.h"

#include "bluetooth/NonVciList.h"
#include "host/IniFile.h"

namespace {

const char kDevice[] = "00:1b:dc:00:00:02";

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
  for (const std::string& address : list.GetAddresses()) FUZZ_CHECK(again.Contains(address));
  return 0;
}
