// CConnMgrEvent: one item of the connection manager's event queue, made by
// whichever thread reports (the discovery engine's, a registered client's,
// the control server's) and handled and deleted by the manager's event
// thread alone.
#pragma once

#include <cstdint>

class CConnMgrEvent {
 public:
  enum Type : uint32_t {
    // A client leaves: it unregistered or its event connection broke.
    CLIENT_GONE = 2,
    // The VCI table and/or the bindings changed (value: the mask).
    VCI_STATUS = 4,
    // The interface monitor failed (value: the mask bit 4, 8, 16 or 32).
    IF_ERROR_1 = 11,
    IF_ERROR_2 = 12,
    IF_ERROR_3 = 13,
    IF_ERROR_4 = 14,
    // The control server failed and is to be replaced.
    SERVER_ERROR = 0x8000,
    // The Bluetooth discovery failed (value: its error code).
    BT_ERROR = 0x8001,
  };
  // The bits of a VCI_STATUS or IF_ERROR mask.
  enum Mask : uint32_t {
    MASK_TABLE = 1,
    MASK_BINDINGS = 2,
    MASK_IF_ERROR_1 = 4,
    MASK_IF_ERROR_2 = 8,
    MASK_IF_ERROR_3 = 16,
    MASK_IF_ERROR_4 = 32,
  };

  CConnMgrEvent(uint32_t type, uint32_t sessionId, uint32_t value = 0)
      : m_uiType(type), m_uiSessionId(sessionId), m_uiValue(value) {}

  uint32_t m_uiType;
  uint32_t m_uiSessionId;  // the client concerned; 0 when none
  uint32_t m_uiValue;
};
