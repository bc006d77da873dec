#include "serialize/Serialize.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/ArchiveFieldVisitor.h"

bool CSerialize::VisitFields(CFieldVisitor&) { return false; }

bool CSerialize::SerializeFields(CArchiveBuffer& ar) {
  CArchiveFieldVisitor v(ar);
  return v.Walk(*this);
}

bool CSerialize::CheckId(CArchiveBuffer& ar) const {
  uint32_t id = 0;
  return ar.Read(id) && id == m_uiObjectId;
}

bool CSerialize::SerializeHead(CArchiveBuffer& ar, uint32_t& version, uint32_t newest) {
  if (ar.IsStoring()) return ar.Write(m_uiObjectId) && ar.Write(newest);
  return CheckId(ar) && ar.Read(version);
}

std::string FrameOf(CSerialize& record) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  record.Serialize(ar);
  uint8_t* p = nullptr;
  uint32_t n = 0;
  ar.GetFrame(p, n);
  return std::string(reinterpret_cast<const char*>(p), n);
}
