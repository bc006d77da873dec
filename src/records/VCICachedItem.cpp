#include "records/VCICachedItem.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
#include "serialize/ObjectId.h"

CVCICachedItem::CVCICachedItem() : CSerialize(OBJID_CVCICachedItem), m_uiVersion(CURRENT_VERSION) {}

CVCICachedItem::CVCICachedItem(const CVCIIdentMsg& announcement, const CVCIStatus& status) : CVCICachedItem() {
  m_Status = status;
  m_Announcement = announcement;
}

bool CVCICachedItem::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) {
    // Start from empty records (a version 0 item carries none); the zone
    // table lent to the announcement stays lent.
    CVCIIdentMsg announcement;
    announcement.SetLinkQualityZones(m_Announcement.GetNumLinkQualityZones(), m_Announcement.GetLinkQualityZones());
    m_Announcement = announcement;
    m_Status = CVCIStatus();
  }
  return SerializeFields(ar);
}

// An item read with version 0 shows the empty status and announcement it
// holds, which are written out in full.
bool CVCICachedItem::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("status", m_Status) &&
         v.Field("announcement", m_Announcement);
}

bool CVCICachedItem::HasToken(const CVCIIdentMsg& announcement) const {
  return announcement.GetTokenLow() == m_Announcement.GetTokenLow() &&
         announcement.GetTokenHigh() == m_Announcement.GetTokenHigh();
}
