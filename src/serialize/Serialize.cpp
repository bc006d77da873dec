#include "serialize/Serialize.h"

#include "serialize/ArchiveBuffer.h"

bool CSerialize::CheckId(CArchiveBuffer& ar) const {
  uint32_t id = 0;
  return ar.Read(id) && id == m_uiObjectId;
}

bool CResponse::Serialize(CArchiveBuffer& ar) {
  return ar.IsStoring() ? ar.Write(m_iResult) : ar.Read(m_iResult);
}
