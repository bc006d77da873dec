// vci-bt.txt (the input is its text) through the discovery engine: the
// stored Bluetooth VCIs are read from it, then a VCI found by the Bluetooth
// discovery is written into it. The written VCI must read back, every
// value of the other VCIs must still be there as it was, and a file that is
// no ini text (or that the writer cannot express again) is left as it was.
#include "FuzzSupport.h"

#include <memory>

#include <boost/filesystem.hpp>

#include "discovery/VCIIdentClient.h"
#include "host/IniFile.h"

namespace {

std::string Install() {
  const std::string folder = fuzz::MakeDataLocation("bt");
  boost::filesystem::create_directories(folder + "/data_files");
  return folder + "/data_files/vci-bt.txt";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Install();
  // A fresh engine per input: the stored VCIs of one input are no business
  // of the next.
  std::unique_ptr<CVCIIdentClient> engine(new CVCIIdentClient("libTosBtApiNowhere.so"));
  fuzz::WriteFile(path, data, size);
  CIniFile before;
  const bool parsed = before.Load(path);
  FUZZ_CHECK(engine->LoadDetectedVCIs() == 0);

  BtVciInfo found;
  found.BDADDR = "00:1b:dc:00:47:11";
  found.FW_Version = 0x02010700;
  found.ModuleType = 5;
  found.ModuleState = 1;
  FUZZ_CHECK(engine->UpdateDetectedVCIs("4711", found) == 0);
  // A text that does not parse is left as it was. One that parses may be
  // left too, when the writer cannot express it again (a section named
  // with a colon); otherwise the new file parses, holds the found VCI and
  // keeps the other VCIs.
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (fuzz::ReadFile(path) == input) return 0;
  FUZZ_CHECK(parsed);
  CIniFile after;
  FUZZ_CHECK(after.Load(path));
  FUZZ_CHECK(after.GetString("4711:BDADDR", "") == found.BDADDR);
  FUZZ_CHECK(after.GetString("4711:FW_Version", "") == "02010700");
  FUZZ_CHECK(after.GetInt("4711:ModuleType", 0) == 5 && after.GetInt("4711:ModuleState", 0) == 1);
  for (const std::string& section : before.GetSections()) {
    if (section == "4711") continue;
    for (const char* key : {":BDADDR", ":FW_Version", ":ModuleType", ":ModuleState"}) {
      const char* was = before.Find((section + key).c_str());
      if (was) FUZZ_CHECK(after.GetString((section + key).c_str(), "?") == was);
    }
  }
  return 0;
}
