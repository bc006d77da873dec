// CIdentConfig: the service's tunable settings from "ident.ini" in the folder
// named by the registry value IdentServiceDefaultLocation, with a built-in
// default for every value. Process-wide, created on first use (the first
// trace line creates it), and read from every thread.
//
// A load never changes values under a reader's feet: it builds a new set of
// settings and swaps it in, so that a reader holding a set (GetSettings) sees
// one file's values throughout, a zone count with its own zones. The trace
// switches, also set at run time by the client connection manager, are plain
// atomics beside the set; the process-wide instance hands them to the trace
// log whenever they change (the log does not read the configuration).
//
// Every key and value is checked as it is read: an unknown section or key,
// or a value that the service reads otherwise than it is written ("yes" for
// a switch, "debug" for the level, "10s" for a time), is a finding, logged
// at WARN with the file, section, key and value and what is used instead.
// The values used stay the designed ones: the finding only says so.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "platform/WinTypes.h"

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
  // The output list's lines unless "Mode:OutputLines" says otherwise: a
  // screenful many times over, a few hundred KB.
  enum : DWORD { DEFAULT_OUTPUT_LINES = 1000 };

  // The settings other than the trace switches, as one load or reset left
  // them. Never changed once published.
  struct CSettings {
    bool m_bAppend;
    bool m_bLoadVCIs;
    bool m_bSkipPair;
    DWORD m_Timeouts[NUM_TIMEOUTS];
    // As read, possibly above MAX_ZONES; the zones in use are the first
    // GetZonesInUse() of m_Zones.
    DWORD m_uiNumLinkQualityZones;
    DWORD m_Zones[MAX_ZONES];
    // "Network:ControlAddress": the one local address that the control
    // server listens on; empty (absent) for every local address.
    std::string m_sControlAddress;
    // Why the address given cannot be listened on (not an IPv4 address, not
    // one of this machine); empty when it can or none is given. The service
    // then does not start: it never falls back to every address.
    std::string m_sControlAddressError;
    // "Mode:OutputLines": the trace lines that the output list keeps, the
    // newest; older ones leave it as new ones come.
    DWORD m_uiOutputLines;
    DWORD GetZonesInUse() const {
      return m_uiNumLinkQualityZones < DWORD(MAX_ZONES) ? m_uiNumLinkQualityZones : DWORD(MAX_ZONES);
    }
  };

  // Reentrant calls during construction return the object under
  // construction. The instance lives until the process ends.
  static CIdentConfig& GetInstance();

  // A separate instance (tools, tests); the service uses GetInstance.
  CIdentConfig();
  ~CIdentConfig();
  CIdentConfig(const CIdentConfig&) = delete;
  CIdentConfig& operator=(const CIdentConfig&) = delete;

  int GetTraceLevel() const { return m_iTraceLevel.load(std::memory_order_relaxed); }
  void SetTraceLevel(int level) {
    m_iTraceLevel.store(level, std::memory_order_relaxed);
    HandToLog(false);
  }
  bool GetPersist() const { return m_bPersist.load(std::memory_order_relaxed); }
  void SetPersist(bool persist) {
    m_bPersist.store(persist, std::memory_order_relaxed);
    HandToLog(false);
  }
  bool GetShowWindow() const { return m_bShowWindow.load(std::memory_order_relaxed); }

  // The current set; a reader that needs several values that belong
  // together (the zone count and the zones) takes them from one set.
  std::shared_ptr<const CSettings> GetSettings() const;
  // Counts the sets published, from 1: a reader that keeps values of a set
  // takes them again only when it changed.
  uint64_t GetSettingsGeneration() const { return m_uiGeneration.load(std::memory_order_acquire); }
  bool GetAppend() const { return GetSettings()->m_bAppend; }
  bool GetLoadVCIs() const { return GetSettings()->m_bLoadVCIs; }
  bool GetSkipPair() const { return GetSettings()->m_bSkipPair; }
  DWORD GetTimeout(Timeout which) const { return GetSettings()->m_Timeouts[which]; }
  std::string GetControlAddress() const { return GetSettings()->m_sControlAddress; }
  DWORD GetOutputLines() const { return GetSettings()->m_uiOutputLines; }
  // True while values of a file are in force (its write time is recorded).
  bool IsLoaded() const;

  // Key text of a timeout ("PAIR_TIMEOUT") and its built-in default.
  static const char* TimeoutName(Timeout which);
  static DWORD TimeoutDefault(Timeout which);
  // Path of ident.ini from the registry; false on any registry failure.
  static bool IniFilePath(std::string& path);
  // The findings of an ident.ini file, each "[section] key = value: what is
  // wrong; what is used instead", read as the service reads it (the trace
  // level a bad Level keeps is the default's). False when the file cannot
  // be read or parsed.
  static bool Check(const std::string& path, std::vector<std::string>& findings);

  void SetDefaults();
  // 0 on success, -1 when the registry value or the file cannot be read
  // (nothing changed then).
  int Load();
  // True when the file's last-write time changed (reloaded) or the file
  // disappeared (defaults).
  bool CheckForChanges();
  // Takes the file in now, whatever its write time (a reload the
  // administrator asked for): as CheckForChanges does on a change. False
  // without the registry value.
  bool Reload();

 private:
  void SetDefaultsLocked() REQUIRES(m_ReloadLock);
  int LoadLocked() REQUIRES(m_ReloadLock);
  void Publish(const CSettings& settings) REQUIRES(m_ReloadLock);
  bool TakeInLocked(bool always) REQUIRES(m_ReloadLock);

  void LogStartup();
  // The process-wide instance's trace switches to the trace log; reopen
  // after a file was read. Takes m_HandLock.
  void HandToLog(bool reopen);

  // Serialises the writers (Load, SetDefaults, CheckForChanges): each builds
  // its set from the current one. Taken before m_SettingsLock and before the
  // trace log's lock.
  mutable CMutex m_ReloadLock;
  SYSTEMTIME m_FileTime GUARDED_BY(m_ReloadLock);  // All zero when not loaded.

  mutable CMutex m_SettingsLock;
  std::shared_ptr<const CSettings> m_pSettings GUARDED_BY(m_SettingsLock);  // Never null.
  std::atomic<uint64_t> m_uiGeneration{0};       // raised after each swap of m_pSettings

  // Serialises the hand-overs, so that the last one holds the switches in
  // force. Taken after m_ReloadLock, before the trace log's lock.
  CMutex m_HandLock;

  std::atomic<int> m_iTraceLevel;
  std::atomic<bool> m_bPersist;
  std::atomic<bool> m_bShowWindow;
};
