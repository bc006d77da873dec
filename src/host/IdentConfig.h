// CIdentConfig: the service's tunable settings from "ident.ini" in the folder
// named by the registry value IdentServiceDefaultLocation, with a built-in
// default for every value. Process-wide, created on first use (the first
// trace line creates it); it has no lock: readers tolerate an old or a new
// value.
#pragma once

#include <string>

#include "platform/WinTypes.h"

struct _dictionary_;

class CIdentConfig {
 public:
  // The timeouts and counts, in key-table order.
  enum Timeout {
    QMX_BT_TIMEOUT,
    BT_CONNECT_TIMEOUT,
    BT_DISCONNECT_TIMEOUT,
    BT_IF_UP_TIMEOUT,
    BT_SLEEP_AFTER_RADIO_ON,
    BT_IF_DOWN_TIMEOUT,
    DISCOVERY_TIMEOUT,
    CHECK_CONNECT_TIMEOUT,
    PAIR_TIMEOUT,
    WM_CLEAR_BD_ADDR_TIMEOUT,
    NUM_TIMES_NO_DETECT,
    POWER_CYCLE_TIME,
    NUM_PAIR_ATTEMPTS,
    BT_NUM_FALSE_DETECTS,
    NUM_TIMEOUTS
  };
  enum { MAX_ZONES = 20 };

  // Reentrant calls during construction return the object under
  // construction. The instance lives until the process ends.
  static CIdentConfig& GetInstance();

  // A separate instance (tools, tests); the service uses GetInstance.
  CIdentConfig();
  ~CIdentConfig();
  CIdentConfig(const CIdentConfig&) = delete;
  CIdentConfig& operator=(const CIdentConfig&) = delete;

  int GetTraceLevel() const { return m_iTraceLevel; }
  void SetTraceLevel(int level) { m_iTraceLevel = level; }
  bool GetPersist() const { return m_bPersist; }
  void SetPersist(bool persist) { m_bPersist = persist; }
  bool GetAppend() const { return m_bAppend; }
  bool GetLoadVCIs() const { return m_bLoadVCIs; }
  bool GetSkipPair() const { return m_bSkipPair; }
  bool GetShowWindow() const { return m_bShowWindow; }
  DWORD GetTimeout(Timeout which) const { return m_Timeouts[which]; }
  DWORD GetNumLinkQualityZones() const { return m_uiNumLinkQualityZones; }
  // Zone limit i (0..19).
  DWORD GetLinkQualityZone(unsigned i) const { return i < MAX_ZONES ? m_Zones[i] : 0; }
  const SYSTEMTIME& GetFileTime() const { return m_FileTime; }
  bool IsLoaded() const;

  // Key text of a timeout ("PAIR_TIMEOUT") and its built-in default.
  static const char* TimeoutName(Timeout which);
  static DWORD TimeoutDefault(Timeout which);
  // Path of ident.ini from the registry; false on any registry failure.
  static bool IniFilePath(std::string& path);

  void SetDefaults();
  // 0 on success, -1 when the registry value or the file cannot be read.
  int Load();
  // True when the file's last-write time changed (reloaded) or the file
  // disappeared (defaults).
  bool CheckForChanges();

 private:
  void LogStartup();

  int m_iTraceLevel;
  bool m_bPersist;
  bool m_bAppend;
  bool m_bLoadVCIs;
  bool m_bSkipPair;
  bool m_bShowWindow;
  DWORD m_Timeouts[NUM_TIMEOUTS];
  DWORD m_uiNumLinkQualityZones;
  DWORD m_Zones[MAX_ZONES];
  _dictionary_* m_pDict = nullptr;
  SYSTEMTIME m_FileTime;
};
