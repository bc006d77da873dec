#include "host/ProductConfig.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/TraceLog.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/CipherKey.h"

namespace {

const uint32_t kLocationBufferSize = 256;
const uint32_t kRecordHeaderSize = 8;
// Header word of the files that EncipherText writes: a format number; the
// reader never looks at it.
const uint32_t kRecordHeaderWord = 1;

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void PutU32(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool Decipher(uint8_t* data, uint32_t length) {
  CBlowfishCipher cipher;
  return cipher.SetKey(GetCipherKey(0, 0), CBlowfishCipher::MAX_KEY_LENGTH) == 0 &&
         cipher.Decrypt(data, length, "ecb", nullptr) == 0;
}

// Takes the text out of a deciphered file image. A file that holds fewer
// bytes than its text length announces is treated as no configuration at
// all rather than parsed from a truncated text.
bool ExtractText(const uint8_t* data, uint32_t size, const uint8_t*& text, uint32_t& length) {
  if (size < kRecordHeaderSize) return false;
  length = GetU32(data + 4);
  if (length == 0 || length > size - kRecordHeaderSize) return false;
  text = data + kRecordHeaderSize;
  return true;
}

}  // namespace

CProductConfig& CProductConfig::GetInstance() {
  static CProductConfig instance;
  return instance;
}

CProductConfig::CProductConfig() {
  SetDefaults();
  Load();
}

CProductConfig::~CProductConfig() { Release(); }

void CProductConfig::SetDefaults() {
  m_bShowSelfTestDlg = false;
  m_bHideNetworkSetupDlg = false;
  m_bPowerModPresent = true;
  m_bHideEthSubTabDlg = false;
  m_bHasEthernet = true;
  m_bDisplayAllModuleTypes = false;
  m_strOELabel.clear();
  m_strDeviceLabel = "VCI";
  m_strProductTitle.clear();
  m_uiMaxTcpPorts = 100;
  m_uiMaxNumberOfSessions = 1;
  m_uiSplashScreenResourceId = 245;
  m_uiMaxNumberOfLeds = 5;
}

void CProductConfig::Release() {
  m_Ini.Clear();
  m_strText.clear();
}

std::string CProductConfig::FilePath(const std::string& location) {
  return location + "/Configuration/product_config.ini";
}

// A reload starts from the defaults as well, so that whatever a failing load
// leaves behind is the defaults and nothing of an earlier file.
int CProductConfig::Load() {
  Release();
  SetDefaults();

  std::string location;
  if (platform::ReadRegistryString("ProductSpecificLocation", kLocationBufferSize, location) != ERROR_SUCCESS)
    return -1;

  std::vector<uint8_t> file;
  if (!platform::ReadWholeFile(FilePath(location), file, UINT32_MAX)) return -1;

  uint32_t fileSize = static_cast<uint32_t>(file.size());
  if (fileSize == 0 || !Decipher(file.data(), fileSize)) return -1;
  const uint8_t* text;
  uint32_t textLength;
  if (!ExtractText(file.data(), fileSize, text, textLength)) return -1;
  m_strText.assign(reinterpret_cast<const char*>(text), textLength);
  file.clear();

  if (!m_Ini.LoadText(m_strText.data(), m_strText.size())) {
    TraceLog(TRACE_ERR, "PrdCfg::Unable to load from buffer");
    Release();
    return -1;
  }

  const CIniFile& ini = m_Ini;
  m_bShowSelfTestDlg = ini.GetBool("MGR:show_self_test_dlg", m_bShowSelfTestDlg);
  m_bHideNetworkSetupDlg = ini.GetBool("MGR:hide_network_setup_dlg", m_bHideNetworkSetupDlg);
  m_bPowerModPresent = ini.GetBool("VCI:power_mod_present", m_bPowerModPresent);
  m_bHideEthSubTabDlg = ini.GetBool("MGR:hide_eth_sub_tab_dlg", m_bHideEthSubTabDlg);
  m_bHasEthernet = ini.GetBool("VCI:has_ethernet", m_bHasEthernet);
  m_bDisplayAllModuleTypes = ini.GetBool("VCI:display_all_module_types", m_bDisplayAllModuleTypes);
  m_strOELabel = ini.GetString("MGR:OE_label", m_strOELabel);
  m_strDeviceLabel = ini.GetString("MGR:device_label", m_strDeviceLabel);
  m_strProductTitle = ini.GetString("MGR:special_title_label", m_strProductTitle);
  m_uiMaxTcpPorts = static_cast<uint32_t>(ini.GetInt("SYSTEM:max_tcp_ports", m_uiMaxTcpPorts));
  m_uiMaxNumberOfSessions = static_cast<uint32_t>(ini.GetInt("SYSTEM:max_number_of_sessions", m_uiMaxNumberOfSessions));
  m_uiSplashScreenResourceId =
      static_cast<uint32_t>(ini.GetInt("MGR:splash_screen_resource_id", m_uiSplashScreenResourceId));
  m_uiMaxNumberOfLeds = static_cast<uint32_t>(ini.GetInt("VCI:max_number_of_leds", m_uiMaxNumberOfLeds));
  return 0;
}

bool CProductConfig::EncipherText(const std::string& text, std::string& file) {
  if (text.empty() || text.size() > UINT32_MAX - 16) return false;
  size_t size = (kRecordHeaderSize + text.size() + 7) / 8 * 8;
  std::vector<uint8_t> record(size, 0);
  PutU32(kRecordHeaderWord, record.data());
  PutU32(static_cast<uint32_t>(text.size()), record.data() + 4);
  std::memcpy(record.data() + kRecordHeaderSize, text.data(), text.size());
  CBlowfishCipher cipher;
  if (cipher.SetKey(GetCipherKey(0, 0), CBlowfishCipher::MAX_KEY_LENGTH) != 0 ||
      cipher.Encrypt(record.data(), static_cast<uint32_t>(size), "ecb", nullptr) != 0)
    return false;
  file.assign(reinterpret_cast<const char*>(record.data()), size);
  return true;
}

bool CProductConfig::DecipherFile(const std::string& file, std::string& text) {
  if (file.empty() || file.size() > UINT32_MAX) return false;
  std::vector<uint8_t> data(file.begin(), file.end());
  if (!Decipher(data.data(), static_cast<uint32_t>(data.size()))) return false;
  const uint8_t* p;
  uint32_t length;
  if (!ExtractText(data.data(), static_cast<uint32_t>(data.size()), p, length)) return false;
  text.assign(reinterpret_cast<const char*>(p), length);
  return true;
}
