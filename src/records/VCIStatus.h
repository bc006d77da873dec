// CVCIStatus: everything known about one VCI, identified by its serial
// number (0 marks an empty record).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "records/AppList.h"
#include "records/ArgList.h"
#include "records/CompList.h"
#include "records/SessionList.h"
#include "serialize/Serialize.h"

// Interface kind bits; a set of kinds is their OR.
enum : uint32_t {
  VCI_KIND_ETHERNET = 1,
  VCI_KIND_USB = 2,
  VCI_KIND_WIRELESS = 4,
  VCI_KIND_LOCAL = 8,
  VCI_KIND_BLUETOOTH = 16,
};

// Module state of a VCI running in recovery mode.
const uint32_t VCI_MODULE_STATE_RECOVERY = 2;

class CVCIStatus : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 3 };

  CVCIStatus();
  CVCIStatus(uint32_t serial, uint32_t moduleState, const CCompList& sysComps, const CAppList& apps,
             const CCompList& appComps, const CArgList& deviceInfo, const CSessionList& sessions,
             const CArgList& wireless, uint32_t moduleType);
  CVCIStatus(const CVCIStatus&) = default;
  // Copies every field, the result codes of the component lists included.
  CVCIStatus& operator=(const CVCIStatus& o);

  // Copies every field but adds the source's interface kinds to this one's
  // (a refresh from the cache, whose records carry no kinds).
  void AssignKeepingKinds(const CVCIStatus& src);

  // Writes every field under the newest layout, whatever version was read.
  bool Serialize(CArchiveBuffer& ar) override;
  // The addresses travel as {kind, address} pairs in ascending kind order.
  bool VisitFields(CFieldVisitor& v) override;

  bool m_bBluetooth;
  bool m_bLegacy;
  uint32_t m_uiKinds;
  uint32_t m_uiVersion;
  uint32_t m_uiSerial;
  CArgList m_DeviceInfo;
  std::map<uint32_t, std::string> m_Addresses;
  CSessionList m_Sessions;
  CAppList m_Apps;
  CCompList m_AppComps;
  CCompList m_SysComps;
  uint32_t m_uiModuleState;
  CArgList m_Wireless;
  uint32_t m_uiModuleType;
};
