// CBluetoothMgr: finds VCIs among the Bluetooth devices in range. Its
// discovery thread scans again and again; a device not judged before is
// asked for its friendly name, and the name alone decides whether it is a
// VCI and which serial number it has. VCIs found are handed to the listener
// (the discovery engine) after every successful scan; devices that are not
// VCIs are remembered, also in "non-vci-bt.txt", and never asked again.
//
// The manager also forwards the connection operations of the engine's
// Bluetooth commands to the stack binding, all under m_Lock.
//
// Lock order: m_Lock before the thread base's lock; m_CacheLock is taken
// alone (a copy of the cached map is taken and the lock released before the
// stack is asked anything).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "base/Thread.h"
#include "bluetooth/BluetoothEvent.h"
#include "bluetooth/BtApiSync.h"
#include "bluetooth/BtVciInfo.h"
#include "bluetooth/NonVciList.h"
#include "platform/Mutex.h"

// How the manager switches the PC's Bluetooth network connection after a
// scan error (the engine's EnableConnection); a seam so that the manager
// needs no engine. Returns whether the connection was switched.
typedef bool (*BtEnableConnectionFn)(const std::string& deviceName, bool enable);

class CBluetoothMgr : public IThread {
 public:
  // Result codes.
  enum : int32_t {
    BT_STACK_NOT_LOADED = 20531,  // 0x5033: Initialize without the stack library
    BT_PAIR_FAILED = 20532,       // 0x5034: Pair failed
    BT_MAX_SCAN_ERRORS = 4096,    // 0x1000: OnVciBtError after 21 failed scans in a row
  };

  // library: the stack library's name (tests select a stack with it).
  explicit CBluetoothMgr(const char* library = TOSBT_LIBRARY_NAME);
  ~CBluetoothMgr() override;

  // 0, or BT_STACK_NOT_LOADED (the stack binding is then destroyed again).
  int32_t Initialize(IBluetoothEvent* pListener, const BtVciInfoMap& cached, uint32_t defaultDevice);
  int32_t Uninitialize();
  bool IsLibraryPresent() const;

  void SetCachedVCIList(const BtVciInfoMap& cached);
  void SetDefaultVCI(uint32_t serial);

  // 0; -1 without the stack binding.
  int32_t StartDiscovery();
  int32_t StopDiscovery();

  // Forwarded to the stack binding under m_Lock.
  int32_t Pair(const std::string& address, const char* pin);  // 0 or BT_PAIR_FAILED
  bool CheckConnectState(const std::string& address, uint16_t& cid, int32_t& status);
  bool Disconnect(uint16_t cid);
  bool DisconnectAll();
  int32_t ConnectPAN(const std::string& text);
  int32_t ResetPAN();

  // The VCI test: whether a friendly name is a VCI's; on success serial and
  // the record's firmware version, module type and state are set (misses is
  // always reset; BDADDR and sessions are left alone).
  static bool ParseFriendlyName(const std::string& name, std::string& serial, BtVciInfo& info);
  // Address text to bytes; an empty text leaves out untouched.
  static void ParseAddress(const std::string& text, uint8_t* out);

  // The seam for the network-connection switch after a scan error; the
  // engine installs its EnableConnection. Null: nothing is switched.
  void SetEnableConnection(BtEnableConnectionFn fn) { m_pEnableConnection = fn; }

  // The longest scan and the largest device count so far (diagnostics).
  uint32_t GetMaxDiscoveryTime() const { return m_MaxDiscoveryTime.load(); }
  uint32_t GetMaxDevices() const { return m_MaxDevices.load(); }

 protected:
  void Run(uint32_t uiArg1, uint32_t uiArg2) override;

 private:
  // The discovery thread's steps; no lock held (m_CacheLock is taken inside
  // for a copy of the cached map).
  // The friendly-name query: 0 with name set, -1 on failure.
  int32_t QueryFriendlyName(const std::string& address, std::string& name);
  // One successful scan's devices judged and reported; false when the
  // thread is to end (the default VCI was seen, or a stop is wanted).
  bool ProcessScan();
  bool CheckDefaultVci(const std::vector<std::string>& found);
  bool CheckCachedVcis(std::vector<std::string>& found);
  // OnVciBtDetect with the detected map, when there is a listener.
  void Notify();
  bool StopWanted() const;

  const std::string m_Library;
  // Guarded by m_Lock (recursive: the forwarding operations and StartDiscovery).
  mutable CRecursiveMutex m_Lock;
  // Null until Initialize. Set and reset only by Initialize and Uninitialize
  // (under m_Lock), which the owner never runs beside other calls; the
  // discovery thread uses it without the lock, as it runs only while set.
  std::unique_ptr<CBtApiSync> m_pStack;
  // The discovery thread's own while it runs; touched by others only while
  // no thread runs (StartDiscovery, Uninitialize, Initialize's load): the
  // detected map, the non-VCI set.
  BtVciInfoMap m_Detected;
  CNonVciList m_NonVci;
  std::atomic<uint32_t> m_MaxDiscoveryTime{0};
  std::atomic<uint32_t> m_MaxDevices{0};
  std::atomic<bool> m_bRunning{false};
  std::atomic<bool> m_bInitialized{false};
  // Set by StopDiscovery before it cancels the scan, so that the thread
  // starts no further stack operation while it is being stopped.
  std::atomic<bool> m_bStopping{false};
  std::atomic<IBluetoothEvent*> m_pListener{nullptr};
  BtEnableConnectionFn m_pEnableConnection = nullptr;  // set before Initialize
  mutable CMutex m_CacheLock;
  BtVciInfoMap m_Cached GUARDED_BY(m_CacheLock);
  std::string m_DefaultSerial GUARDED_BY(m_CacheLock);
};
