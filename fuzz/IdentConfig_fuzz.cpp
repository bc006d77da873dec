// ident.ini (the input is its text) through the configuration loader, and
// the same text through the in-memory ini path that the product
// configuration takes: both parse it alike, and the zones it sets lend
// themselves to the announcement reader as the engine lends them.
#include "FuzzSupport.h"

#include "host/IdentConfig.h"
#include "host/IniFile.h"
#include "records/VCIIdentMsg.h"

namespace {

bool SameValue(const CIniFile& a, const CIniFile& b, const char* key) {
  const char *x = a.Find(key), *y = b.Find(key);
  return x == y || (x && y && std::string(x) == y);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string iniPath = fuzz::MakeDataLocation("ident") + "/ident.ini";
  fuzz::WriteFile(iniPath, data, size);
  // A fresh object per input, which loads the file: a load keeps the zones
  // beyond the built-in four that the file does not name, so a long-lived
  // one would carry one input's zones into the next.
  CIdentConfig config;
  CIniFile file, text;
  bool parsed = file.Load(iniPath);
  FUZZ_CHECK(config.IsLoaded() == parsed);
  FUZZ_CHECK(text.LoadText(reinterpret_cast<const char*>(data), size) == parsed);
  if (!parsed) return 0;
  for (const char* key : {"log:level", "log:persist", "mode:skippair", "timeouts:PAIR_TIMEOUT",
                          "link-quality:num-zones", "link-quality:zone-1"})
    FUZZ_CHECK(SameValue(file, text, key));

  FUZZ_CHECK(config.GetTraceLevel() >= 0 && config.GetTraceLevel() <= 2);
  std::shared_ptr<const CIdentConfig::CSettings> s = config.GetSettings();
  uint32_t zones = s->GetZonesInUse();
  FUZZ_CHECK(zones <= CIdentConfig::MAX_ZONES);
  CVCIIdentMsg msg;
  msg.SetLinkQualityZones(zones, s->m_Zones);
  for (uint32_t raw = 0; raw < 256; ++raw) {
    uint32_t zone = msg.GetLinkQualityZone(raw);
    FUZZ_CHECK(zone == 0 || (zone < zones && raw <= s->m_Zones[zone] && raw > s->m_Zones[0]));
  }
  return 0;
}
