// CRecoveryStatus: the announcement of a VCI that runs in recovery mode. It
// is always taken as heard on USB, whatever interface it arrived on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serialize/Serialize.h"

class CVCIIdentMsg;

class CRecoveryStatus : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 2 };
  enum { NUM_UNUSED_WORDS = 3 };

  CRecoveryStatus();
  // Writes the newest layout; a reader takes the block only when its length
  // is above 0 and fits in what arrived.
  bool Serialize(CArchiveBuffer& ar) override;
  // The JSON form shows a block that holds one text and its terminator (as
  // the service writes it) as that text.
  bool VisitFields(CFieldVisitor& v) override;

  // Sets the block to text and its terminating NUL; an empty text still
  // gives a one-byte block.
  void SetBlockText(const std::string& text);
  // The block up to its first NUL (all of it when it holds none).
  std::string GetBlockText() const;

  // The current announcement this one stands for: serial number and module
  // state, a zero device token, no sessions, interface kind USB.
  CVCIIdentMsg ToIdentMsg() const;

  uint32_t m_uiSerial;
  uint32_t m_uiVersion;
  uint32_t m_Unused[NUM_UNUSED_WORDS];
  std::string m_strText;
  uint32_t m_uiModuleState;
  // The owned byte block; its length travels in front of it.
  std::vector<uint8_t> m_Block;
};
