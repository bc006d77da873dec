#include "discovery/DefDevice.h"

#include <cstdlib>
#include <string>
#include <thread>

#include "host/TraceLog.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "records/VCIStatusMap.h"

namespace {

const DWORD kCycleMs = 500;
const DWORD kConnectTone = 500, kDisconnectTone = 300;
// Name, attributes, last-set and security changes, as the key is watched.
const DWORD kNotifyFilter = 15;

}  // namespace

CVCIIdentClient::CDefDevice::CDefDevice(CVCIIdentClient* pEngine) : m_pEngine(pEngine) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::CDefDevice() Entering");
  Start();
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::CDefDevice() Leaving");
}

CVCIIdentClient::CDefDevice::~CDefDevice() {
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::~CDefDevice() Entering");
  m_Shutdown.Set();
  m_Change.Set();
  Stop();
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::~CDefDevice() Leaving");
}

uint32_t CVCIIdentClient::CDefDevice::ReadDefault(LONG& code, std::string& text) {
  text.clear();
  code = platform::ReadRegistryString("DefaultDevice", 240, text);
  return code == ERROR_SUCCESS ? static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10)) : 0;
}

void CVCIIdentClient::CDefDevice::Signal(DWORD frequency) {
  Beep(frequency, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Beep(frequency, 200);
}

void CVCIIdentClient::CDefDevice::Disconnect() {
  int32_t status = 0;
  m_pEngine->BtCommand(m_uiDefaultSerial, DEFAULT_DEVICE_SESSION, BT_DISCONNECT, status);
  Signal(kDisconnectTone);
}

bool CVCIIdentClient::CDefDevice::Supervise(bool connected) {
  const int serial = static_cast<int>(m_uiDefaultSerial);
  int32_t status = 0;
  if (connected) {
    int32_t r = m_pEngine->BtCommand(m_uiDefaultSerial, DEFAULT_DEVICE_SESSION, BT_CHECK_CONNECT_STATE, status);
    if (r == 0 || status != 0) return true;
    TraceLog(TRACE_WARN, "CVCIIdentClient::CDefDevice::Run Device not connected %d", serial);
    Disconnect();
    return false;
  }
  // No default device, nothing to look for.
  if (m_uiDefaultSerial == 0) return false;
  CVCIStatusMap map;
  int32_t r = m_pEngine->GetVCIStatusMap(map);
  if (r == 0) {
    for (const auto& entry : map.m_Map) {
      if (entry.second.m_uiSerial != m_uiDefaultSerial || !entry.second.m_bBluetooth) continue;
      TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Attempting to connect to %d", serial);
      r = m_pEngine->BtCommand(m_uiDefaultSerial, DEFAULT_DEVICE_SESSION, BT_CONNECT, status);
      if (r != 0) {
        TraceLog(TRACE_ERR, "CVCIIdentClient::CDefDevice::Run Failed to connect to default device %d", serial);
        break;
      }
      TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Connected to DEF DEV %d", serial);
      Signal(kConnectTone);
      return true;
    }
  }
  if (r != 0) TraceLog(TRACE_WARN, "CVCIIdentClient::CDefDevice::Run GetVCIItemMap Failed");
  return false;
}

void CVCIIdentClient::CDefDevice::Run(uint32_t, uint32_t) {
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Entering");
  SignalStarted();
  HKEY key = nullptr;
  LONG e = RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key);
  if (e != ERROR_SUCCESS) {
    TraceLog(TRACE_ERR, "CVCIIdentClient::CDefDevice::Run Cannot open registry key. Default Device Thread Error hr = %d",
             static_cast<int>(e));
    return;
  }
  std::string text;
  m_uiDefaultSerial = ReadDefault(e, text);
  if (e != ERROR_SUCCESS)
    TraceLog(TRACE_WARN, "CVCIIdentClient::CDefDevice::Run Can't query %s hr = %d", "DefaultDevice", static_cast<int>(e));
  else
    TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Default device found in registry. Value = %s", text.c_str());
  if (RegNotifyChangeKeyValue(key, 1, kNotifyFilter, &m_Change, 1) != ERROR_SUCCESS)
    TraceLog(TRACE_ERR, "CVCIIdentClient::CDefDevice::Run Error watching registry");
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Searching for default device = %d",
           static_cast<int>(m_uiDefaultSerial));

  bool connected = false;
  for (;;) {
    connected = Supervise(connected);
    const DWORD wait = m_Change.Wait(kCycleMs);
    if (m_Shutdown.IsSet()) break;
    if (wait != WAIT_OBJECT_0) continue;
    if (RegNotifyChangeKeyValue(key, 1, kNotifyFilter, &m_Change, 1) != ERROR_SUCCESS)
      TraceLog(TRACE_ERR, "CVCIIdentClient::CDefDevice::Run Error watching registry");
    TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Registry Changed");
    const uint32_t serial = ReadDefault(e, text);
    if (serial == m_uiDefaultSerial) continue;
    // The discovery learns the new default VCI before the old one is
    // disconnected: the disconnect restarts the discovery, which ends as
    // soon as it sees the default VCI, and seeing the old one there would
    // end it before the new one was ever found.
    m_pEngine->m_BtMgr.SetDefaultVCI(serial);
    if (connected) {
      TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Attempting to disconnect to %d",
               static_cast<int>(m_uiDefaultSerial));
      Disconnect();
      connected = false;
    } else {
      TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Default device has changed was = %d, is = %d",
               static_cast<int>(m_uiDefaultSerial), static_cast<int>(serial));
    }
    m_uiDefaultSerial = serial;
  }
  TraceLog(TRACE_INFO, "CVCIIdentClient::CDefDevice::Run Shutdown received");
  RegCloseKey(key);
}
