// The PC's network connections as the Windows shell lists them: a connection
// is a network link with an alias, which is the connection's device name
// ("Bluetooth Personal Area Network"); connecting sets the link up,
// disconnecting sets it down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

typedef LONG HRESULT;
enum : HRESULT { S_OK = 0, E_FAIL = static_cast<HRESULT>(0x80004005), E_ACCESSDENIED = static_cast<HRESULT>(0x80070005) };

class CNetConnection {
 public:
  CNetConnection(uint32_t index, const std::string& name, const std::string& deviceName)
      : m_Index(index), m_Name(name), m_DeviceName(deviceName) {}

  const std::string& DeviceName() const { return m_DeviceName; }
  const std::string& Name() const { return m_Name; }  // the interface name

  // S_OK, E_ACCESSDENIED when not allowed, E_FAIL otherwise (the link is gone).
  HRESULT Connect() const;
  HRESULT Disconnect() const;

 private:
  uint32_t m_Index;
  std::string m_Name;
  std::string m_DeviceName;
};

// The connections whose device name contains text (every connection for an
// empty text), in interface-index order. ERROR_SUCCESS, or the code of a
// kernel that could not be asked (out empty).
DWORD FindNetConnections(const std::string& text, std::vector<CNetConnection>& out);
