// CVCICachedItem: one entry of the detail cache, what a fetch learnt about a
// VCI (its status, with no interface kinds and no addresses) together with
// the announcement that caused the fetch, whose device token tells whether
// the VCI still carries what was cached.
#pragma once

#include <cstdint>

#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "serialize/Serialize.h"

class CVCICachedItem : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };

  CVCICachedItem();
  CVCICachedItem(const CVCIIdentMsg& announcement, const CVCIStatus& status);

  // An item read with version 0 carries neither the status nor the
  // announcement; a written one always carries both. Writing the
  // announcement takes the next value of its sequence counter; reading one
  // stores the byte read there.
  bool Serialize(CArchiveBuffer& ar) override;
  bool VisitFields(CFieldVisitor& v) override;

  // An item whose status has serial number 0 stands for no entry.
  bool IsEmpty() const { return m_Status.m_uiSerial == 0; }
  // True when the announcement carries the device token of the cached one.
  bool HasToken(const CVCIIdentMsg& announcement) const;

  uint32_t m_uiVersion;
  CVCIStatus m_Status;
  CVCIIdentMsg m_Announcement;
};
