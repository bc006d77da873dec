#include "records/VCICachedItem.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CVCICachedItem::CVCICachedItem() : CSerialize(OBJID_CVCICachedItem), m_uiVersion(CURRENT_VERSION) {}

CVCICachedItem::CVCICachedItem(const CVCIIdentMsg& announcement, const CVCIStatus& status) : CVCICachedItem() {
  m_Status = status;
  m_Announcement = announcement;
}

bool CVCICachedItem::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring())
    return SerializeHead(ar, m_uiVersion, CURRENT_VERSION) && m_Status.Serialize(ar) && m_Announcement.Serialize(ar);
  // Start from empty records (a version 0 item carries none); the zone
  // table lent to the announcement stays lent.
  CVCIIdentMsg announcement;
  announcement.SetLinkQualityZones(m_Announcement.GetNumLinkQualityZones(), m_Announcement.GetLinkQualityZones());
  m_Announcement = announcement;
  m_Status = CVCIStatus();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  return m_uiVersion == 0 || (m_Status.Serialize(ar) && m_Announcement.Serialize(ar));
}

bool CVCICachedItem::HasToken(const CVCIIdentMsg& announcement) const {
  return announcement.GetTokenLow() == m_Announcement.GetTokenLow() &&
         announcement.GetTokenHigh() == m_Announcement.GetTokenHigh();
}
