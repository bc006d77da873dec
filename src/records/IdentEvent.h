// The event that the service sends to a registered application's event port,
// and the application's acknowledgement. The record behind the event code
// follows from the code: the whole VCI table for 0x8002, the whole bindings
// for 0x8003, an empty VCI table for every other code (interface monitor
// errors 0x8004 to 0x8007 and Bluetooth error codes).
#pragma once

#include <cstdint>

#include "records/BindMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/Serialize.h"

// The acknowledgement; the service does not act on its result.
class CIdentEvent_Recv : public CResponse {
 public:
  explicit CIdentEvent_Recv(int32_t result = 0);
  bool VisitFields(CFieldVisitor& v) override;
};

class CIdentEvent_Send : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  enum : uint32_t {
    EVENT_TABLE_CHANGED = 0x8002,
    EVENT_BINDINGS_CHANGED = 0x8003,
    EVENT_IF_ERROR_1 = 0x8004,
    EVENT_IF_ERROR_2 = 0x8005,
    EVENT_IF_ERROR_3 = 0x8006,
    EVENT_IF_ERROR_4 = 0x8007
  };

  CIdentEvent_Send();
  // An event whose payload is an empty VCI table.
  CIdentEvent_Send(uint32_t eventCode, uint32_t reserved);
  CIdentEvent_Send(uint32_t eventCode, uint32_t reserved, const CVCIStatusMap& table);
  CIdentEvent_Send(uint32_t eventCode, uint32_t reserved, const CBindMap& bindings);
  // "payload" is the record behind the code; the empty table behind any
  // other code is written but not read.
  bool VisitFields(CFieldVisitor& v) override;
  // What Serialize writes ahead of the table or bindings.
  bool StoreHead(CArchiveBuffer& ar);

  uint32_t GetEventCode() const { return m_uiEventCode; }

  CVCIStatusMap m_VCIStatusMap;
  CBindMap m_BindMap;
  uint32_t m_uiVersion;
  uint32_t m_uiReserved;
  uint32_t m_uiEventCode;
};
