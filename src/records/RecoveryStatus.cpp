#include "records/RecoveryStatus.h"

#include <algorithm>

#include "records/SessionList.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

CRecoveryStatus::CRecoveryStatus()
    : CSerialize(OBJID_CRecoveryStatus), m_uiSerial(0), m_uiVersion(CURRENT_VERSION), m_uiModuleState(0) {
  for (auto& w : m_Unused) w = 0;
}

void CRecoveryStatus::SetBlockText(const std::string& text) {
  m_Block.assign(text.begin(), text.end());
  m_Block.push_back(0);
}

std::string CRecoveryStatus::GetBlockText() const {
  auto end = std::find(m_Block.begin(), m_Block.end(), 0);
  return std::string(m_Block.begin(), end);
}

bool CRecoveryStatus::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(m_uiSerial)) return false;
    for (uint32_t w : m_Unused)
      if (!ar.Write(w)) return false;
    if (!ar.Write(m_strText) || !ar.Write(m_uiModuleState) || !ar.Write(static_cast<uint32_t>(m_Block.size())))
      return false;
    return m_Block.empty() || ar.WriteRaw(m_Block.data(), static_cast<uint32_t>(m_Block.size()));
  }
  *this = CRecoveryStatus();
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion == 0) return true;
  if (!ar.Read(m_uiSerial)) return false;
  for (auto& w : m_Unused)
    if (!ar.Read(w)) return false;
  uint32_t length;
  if (!ar.Read(m_strText) || !ar.Read(m_uiModuleState) || !ar.Read(length)) return false;
  if (length == 0) return true;
  // Checked before allocating: the length is the sender's word.
  if (length > ar.GetRemaining()) return false;
  m_Block.resize(length);
  return ar.ReadRaw(m_Block.data(), length);
}

CVCIIdentMsg CRecoveryStatus::ToIdentMsg() const {
  return CVCIIdentMsg(m_uiSerial, m_uiModuleState, 0, 0, CSessionList(), VCI_KIND_USB);
}
