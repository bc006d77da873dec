// CProductConfig: the installation's product description, read once per
// process from "product_config.ini" in the folder "Configuration" under the
// registry value ProductSpecificLocation.
//
// The file is one Blowfish-ECB block sequence under the default key which
// deciphers to, little-endian: u32 header word, u32 text length n (not 0),
// n bytes of ini text, fill. The text uses the ident.ini syntax; keys are
// section:key, case-insensitive. Every field keeps its default when the file
// is missing or unreadable; the service itself needs only max_tcp_ports.
#pragma once

#include <cstdint>
#include <string>

#include "host/IniFile.h"

class CProductConfig {
 public:
  // The process-wide object, loaded on first use.
  static CProductConfig& GetInstance();

  // Sets the defaults and loads. The service goes through GetInstance; the
  // provisioning tool and the tests build objects of their own.
  CProductConfig();
  ~CProductConfig();
  CProductConfig(const CProductConfig&) = delete;
  CProductConfig& operator=(const CProductConfig&) = delete;

  // Forgets what was loaded, resets every field to its default and reads the
  // file again. 0 on success, -1 on any failure (fields stay at defaults).
  int Load();

  bool GetShowSelfTestDlg() const { return m_bShowSelfTestDlg; }
  bool GetHideNetworkSetupDlg() const { return m_bHideNetworkSetupDlg; }
  bool GetPowerModPresent() const { return m_bPowerModPresent; }
  bool GetHideEthSubTabDlg() const { return m_bHideEthSubTabDlg; }
  bool GetHasEthernet() const { return m_bHasEthernet; }
  bool GetDisplayAllModuleTypes() const { return m_bDisplayAllModuleTypes; }
  const std::string& GetOELabel() const { return m_strOELabel; }
  const std::string& GetDeviceLabel() const { return m_strDeviceLabel; }
  const std::string& GetProductTitle() const { return m_strProductTitle; }
  uint32_t GetMaxTcpPorts() const { return m_uiMaxTcpPorts; }
  uint32_t GetMaxNumberOfSessions() const { return m_uiMaxNumberOfSessions; }
  uint32_t GetSplashScreenResourceId() const { return m_uiSplashScreenResourceId; }
  uint32_t GetMaxNumberOfLeds() const { return m_uiMaxNumberOfLeds; }
  // True while a deciphered text is held (the last Load succeeded).
  bool IsLoaded() const { return m_Ini.IsLoaded(); }
  // The deciphered ini text; empty when nothing was loaded.
  const std::string& GetText() const { return m_strText; }

  // The file form for an ini text: the record enciphered under the default
  // key. False for an empty text. DecipherFile is the reverse; false when
  // the bytes are not whole blocks, the length is 0 or runs past the end.
  static bool EncipherText(const std::string& text, std::string& file);
  static bool DecipherFile(const std::string& file, std::string& text);

  // Path of the file for a ProductSpecificLocation value.
  static std::string FilePath(const std::string& location);

 private:
  void SetDefaults();
  void Release();

  bool m_bShowSelfTestDlg;
  bool m_bHideNetworkSetupDlg;
  bool m_bPowerModPresent;
  bool m_bHideEthSubTabDlg;
  bool m_bHasEthernet;
  bool m_bDisplayAllModuleTypes;
  std::string m_strOELabel;
  std::string m_strDeviceLabel;
  std::string m_strProductTitle;
  uint32_t m_uiMaxTcpPorts;
  uint32_t m_uiMaxNumberOfSessions;
  uint32_t m_uiSplashScreenResourceId;
  uint32_t m_uiMaxNumberOfLeds;
  CIniFile m_Ini;          // the parsed text
  std::string m_strText;   // the deciphered ini text
};
