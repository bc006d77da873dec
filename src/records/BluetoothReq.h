// A Bluetooth command from an application on the control connection, and
// its reply (the command's result; -1 when Bluetooth is disabled or the
// session is not registered).
#pragma once

#include <cstdint>

#include "serialize/Serialize.h"

class CBluetoothReq_Send : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  enum Command : uint32_t { BT_CONNECT = 1, BT_DISCONNECT = 2, BT_SCAN = 3, BT_CHECK_CONNECT_STATE = 4 };

  CBluetoothReq_Send();
  CBluetoothReq_Send(uint32_t sessionId, uint32_t serialNumber, uint32_t command);
  bool VisitFields(CFieldVisitor& v) override;

  uint32_t GetSessionId() const { return m_uiSessionId; }
  uint32_t GetSerialNumber() const { return m_uiSerialNumber; }
  uint32_t GetCommand() const { return m_uiCommand; }

  uint32_t m_uiSessionId;
  uint32_t m_uiSerialNumber;  // ignored by BT_SCAN
  uint32_t m_uiCommand;
  uint32_t m_uiVersion;
};

class CBluetoothReq_Recv : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  explicit CBluetoothReq_Recv(int32_t result = 0);
  bool VisitFields(CFieldVisitor& v) override;
  // Held by the object only; the reply carries no version word.
  uint32_t m_uiVersion;
};
