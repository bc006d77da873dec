// CVCIIdentMsg: the status announcement that a VCI sends to UDP port 8194
// (group 225.1.1.1), and the one form of announcement that the discovery
// engine processes: legacy status messages and recovery announcements are
// converted into it.
//
// The wireless block travels as a flag and four bytes; on reading they become
// the name/value pairs of the wireless information, with the raw link quality
// mapped onto the link-quality zones that the engine lends before the read.
// The writer takes the link byte from "link-quality" (the zone), while a
// reader takes that byte as the raw value: a record written and read back
// therefore does not keep its raw link quality.
#pragma once

#include <cstdint>

#include "records/ArgList.h"
#include "records/SessionList.h"
#include "serialize/Serialize.h"

// Names of the wireless information pairs that a read fills in.
namespace wireless_info {
constexpr const char IF_ENABLE[] = "IFEnable";
constexpr const char AP_STATE[] = "ap-state";
constexpr const char LINK_QUALITY[] = "link-quality";
constexpr const char LINK_QUALITY_RAW[] = "link-quality-raw";
constexpr const char SIGNAL_LEVEL[] = "signal-level";
constexpr const char NOISE_LEVEL[] = "noise-level";
}  // namespace wireless_info

class CVCIIdentMsg : public CSerialize {
 public:
  enum : uint8_t { CURRENT_VERSION = 3 };

  CVCIIdentMsg();
  // A message converted from a legacy or recovery datagram, or built by the
  // engine; product version, product date and module type are 0.
  CVCIIdentMsg(uint32_t serial, uint32_t moduleState, uint32_t tokenLow, uint32_t tokenHigh,
               const CSessionList& sessions, uint32_t kind);
  CVCIIdentMsg(uint32_t serial, uint32_t moduleState, uint32_t tokenLow, uint32_t tokenHigh,
               const CSessionList& sessions, uint32_t kind, uint32_t productVersion, uint32_t productDate,
               uint32_t moduleType);
  // Copies every field, the lent zone table included.
  CVCIIdentMsg(const CVCIIdentMsg&) = default;
  CVCIIdentMsg& operator=(const CVCIIdentMsg&) = default;

  // Writing always produces the newest layout and takes the next value of
  // the process-wide sequence counter. Reading replaces every field but the
  // zone table and stores the sequence byte into the counter.
  bool Serialize(CArchiveBuffer& ar) override;
  // The wireless block travels as a flag and, when it is set, four bytes;
  // the JSON form shows them with the zone of the raw link quality beside
  // it, and takes the raw link quality in as the byte to send.
  bool VisitFields(CFieldVisitor& v) override;

  // Lends the link-quality zone thresholds for the following reads. The table
  // is neither copied nor owned and must outlive those reads.
  void SetLinkQualityZones(uint32_t count, const uint32_t* zones);
  // Index of the first zone threshold that raw does not exceed, in table
  // order; 0 when raw exceeds them all or no table is lent.
  uint32_t GetLinkQualityZone(uint32_t raw) const;

  // The process-wide one-byte sequence counter: a write sends its value and
  // increments it, a read stores the received value. Callers serialise its
  // use (the engine's receive lock).
  static uint8_t GetSequenceCounter();
  static void SetSequenceCounter(uint8_t value);

  uint8_t GetVersion() const { return m_ucVersion; }
  uint32_t GetSerial() const { return m_uiSerial; }
  uint32_t GetProductVersion() const { return m_uiProductVersion; }
  uint32_t GetProductDate() const { return m_uiProductDate; }
  uint32_t GetModuleType() const { return m_uiModuleType; }
  uint32_t GetKind() const { return m_uiKind; }
  uint32_t GetModuleState() const { return m_uiModuleState; }
  const CSessionList& GetSessions() const { return m_Sessions; }
  const CArgList& GetWireless() const { return m_Wireless; }
  const uint32_t* GetToken() const { return m_Token; }
  uint32_t GetTokenLow() const { return m_Token[0]; }
  uint32_t GetTokenHigh() const { return m_Token[1]; }
  bool IsTokenZero() const { return m_Token[0] == 0 && m_Token[1] == 0; }
  uint32_t GetNumLinkQualityZones() const { return m_uiNumZones; }
  const uint32_t* GetLinkQualityZones() const { return m_pZones; }

  // For the tools that build a message from its parts.
  void SetVersion(uint8_t version) { m_ucVersion = version; }
  void SetWireless(const CArgList& wireless) { m_Wireless = wireless; }
  void SetModuleType(uint32_t moduleType) { m_uiModuleType = moduleType; }

 private:
  uint8_t m_ucVersion;
  uint32_t m_uiSerial;
  uint32_t m_uiProductVersion;  // Legacy conversions only; not serialised.
  uint32_t m_uiProductDate;     // Legacy conversions only; not serialised.
  uint32_t m_uiModuleType;      // Travels as one byte.
  uint32_t m_uiKind;            // Travels as one byte.
  uint32_t m_uiModuleState;     // Travels as one byte.
  CSessionList m_Sessions;
  CArgList m_Wireless;
  uint32_t m_Token[2];  // Low word first on the wire.
  // Lent by the engine, not owned, not serialised.
  uint32_t m_uiNumZones;
  const uint32_t* m_pZones;
};
