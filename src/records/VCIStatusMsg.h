// CVCIStatusMsg and CClientInfo: the legacy status announcement of older VCI
// software, with one CClientInfo per client session on the VCI. The service
// only reads them: writing succeeds without writing anything.
//
// Four presence flags travel in the legacy message but are not kept in it:
// the reader stores them in process-wide variables, which the conversion
// into a CVCIIdentMsg consults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serialize/Serialize.h"

class CVCIIdentMsg;

class CClientInfo : public CSerialize {
 public:
  CClientInfo();
  // No version word; read only.
  bool VisitFields(CFieldVisitor& v) override;

  bool m_bFlag;
  uint32_t m_uiNumber;
  // "Ethernet", "USB", "Wireless", "Local" or "Bluetooth".
  std::string m_strInterface;
  std::string m_strText1;
  std::string m_strText2;
};

class CVCIStatusMsg : public CSerialize {
 public:
  // Module state of a message older than version 2, which does not carry one.
  enum : uint32_t { DEFAULT_MODULE_STATE = 1 };
  enum { NUM_UNUSED_WORDS = 4 };

  // The presence flags of the last message read, process-wide. Guarded by
  // the engine's receive lock.
  struct PresenceFlags {
    uint32_t uiEthernet;
    uint32_t uiWireless;
    uint32_t uiUsb;
    uint32_t uiFourth;  // Travels, means nothing to the service.
  };

  CVCIStatusMsg();
  // Read only.
  bool Serialize(CArchiveBuffer& ar) override;
  // The presence flags are shown where they travel.
  bool VisitFields(CFieldVisitor& v) override;

  static PresenceFlags GetPresenceFlags();
  static void SetPresenceFlags(const PresenceFlags& flags);

  // The current announcement this message stands for: the sessions from the
  // clients (each with the address of its interface kind), the interface
  // kind from the presence flags, a zero device token, and serial number,
  // module state, product version, product date and module type copied.
  CVCIIdentMsg ToIdentMsg() const;
  // Interface kind of a client's interface name; 0 for an unknown name.
  static uint32_t KindOfInterfaceName(const std::string& name);

  uint32_t m_uiVersion;
  std::string m_strUnused;
  std::string m_strWirelessAddr;
  std::string m_strUsbAddr;
  std::string m_strEthernetAddr;
  uint32_t m_uiSerial;
  uint32_t m_uiProductVersion;
  uint32_t m_uiProductDate;
  uint32_t m_Unused[NUM_UNUSED_WORDS];
  uint32_t m_uiModuleType;
  uint32_t m_uiModuleState;
  std::vector<CClientInfo> m_Clients;
};
