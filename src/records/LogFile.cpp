#include "records/LogFile.h"

#include <algorithm>

#include "platform/Files.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CLogFile_Send::CLogFile_Send() : CSerialize(OBJID_CLogFile_Send), m_uiVersion(CURRENT_VERSION) {}

CLogFile_Send::CLogFile_Send(const std::vector<std::string>& names) : CLogFile_Send() { m_Names = names; }

bool CLogFile_Send::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Names.size())))
      return false;
    for (const auto& n : m_Names)
      if (!ar.Write(n)) return false;
    return true;
  }
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion < 1) return true;
  uint32_t count;
  if (!record_count::Read(ar, count, record_count::MIN_STRING_SIZE, record_count::VectorSlot<std::string>()))
    return false;
  m_Names.clear();
  for (uint32_t i = 0; i < count; ++i) {
    std::string n;
    if (!ar.Read(n)) return false;
    m_Names.push_back(n);
  }
  return true;
}

CLogFile_Recv::CLogFile_Recv() : CResponse(OBJID_CLogFile_Recv), m_uiVersion(CURRENT_VERSION) {}

CLogFile_Recv::CLogFile_Recv(int32_t result, const std::string& name, const std::string& path, uint64_t maxSize)
    : CResponse(OBJID_CLogFile_Recv, result), m_uiVersion(CURRENT_VERSION) {
  if (result != 0) return;
  // The length travels as a signed count on some readers: nothing beyond 2 GiB.
  if (platform::ReadWholeFile(path, m_Contents, std::min<uint64_t>(maxSize, 0x7FFFFFFF)))
    m_strName = name;
  else
    m_iResult = -1;
}

bool CLogFile_Recv::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(m_strName) ||
        !ar.Write(static_cast<uint32_t>(m_Contents.size())))
      return false;
    return m_Contents.empty() || ar.WriteRaw(m_Contents.data(), static_cast<uint32_t>(m_Contents.size()));
  }
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion < 1) return true;
  uint32_t size;
  if (!ar.Read(m_strName) || !ar.Read(size) || size > ar.GetRemaining()) return false;
  m_Contents.assign(size, 0);
  return size == 0 || ar.ReadRaw(m_Contents.data(), size);
}

CLogFiles_Recv::CLogFiles_Recv() : CResponse(OBJID_CLogFiles_Recv, 0), m_uiVersion(CURRENT_VERSION) {}

int CLogFiles_Recv::Add(const CLogFile_Recv& file) {
  return m_Files.emplace(file.GetName(), file).second ? 0 : -1;
}

bool CLogFiles_Recv::Serialize(CArchiveBuffer& ar) {
  if (ar.IsStoring()) {
    if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION) || !ar.Write(static_cast<uint32_t>(m_Files.size())))
      return false;
    for (auto& entry : m_Files)
      if (!ar.Write(entry.first) || !entry.second.Serialize(ar)) return false;
    return true;
  }
  if (!SerializeHead(ar, m_uiVersion, CURRENT_VERSION)) return false;
  if (m_uiVersion < 1) return true;
  uint32_t count;
  // Each entry holds at least a name count and a record id.
  if (!record_count::Read(ar, count, record_count::MIN_STRING_SIZE + record_count::MIN_RECORD_SIZE,
                          record_count::MapNode<std::string, CLogFile_Recv>()))
    return false;
  m_Files.clear();
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    CLogFile_Recv file;
    if (!ar.Read(name) || !file.Serialize(ar)) return false;
    m_Files[name] = file;
  }
  return true;
}
