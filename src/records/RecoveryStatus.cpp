#include "records/RecoveryStatus.h"

#include <algorithm>

#include "records/SessionList.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatus.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldVisitor.h"
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
  if (!ar.IsStoring()) *this = CRecoveryStatus();
  return SerializeFields(ar);
}

bool CRecoveryStatus::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("serial", m_uiSerial) &&
         v.Words("unused", m_Unused, NUM_UNUSED_WORDS) && v.Field("text", m_strText) &&
         v.Field("moduleState", m_uiModuleState) && v.Block("block", m_Block, "blockText");
}

CVCIIdentMsg CRecoveryStatus::ToIdentMsg() const {
  return CVCIIdentMsg(m_uiSerial, m_uiModuleState, 0, 0, CSessionList(), VCI_KIND_USB);
}
