#include "records/LogFile.h"

#include <algorithm>

#include "platform/Files.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CLogFile_Send::CLogFile_Send() : CSerialize(OBJID_CLogFile_Send), m_uiVersion(CURRENT_VERSION) {}

CLogFile_Send::CLogFile_Send(const std::vector<std::string>& names) : CLogFile_Send() { m_Names = names; }

bool CLogFile_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("names", m_Names);
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

bool CLogFile_Recv::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.Field("name", m_strName) && v.Shown("size", GetSize()) && v.Block("contents", m_Contents);
}

CLogFiles_Recv::CLogFiles_Recv() : CResponse(OBJID_CLogFiles_Recv, 0), m_uiVersion(CURRENT_VERSION) {}

int CLogFiles_Recv::Add(const CLogFile_Recv& file) {
  return m_Files.emplace(file.GetName(), file).second ? 0 : -1;
}

bool CLogFiles_Recv::VisitFields(CFieldVisitor& v) {
  // Each entry holds at least a name count and a record id.
  auto files = field::List<std::pair<std::string, CLogFile_Recv>>(
      m_Files, [](CFieldVisitor& v, auto& e) { return field::Key(v, "name", e.first) && v.Field("file", e.second); },
      [](std::map<std::string, CLogFile_Recv>& m, std::pair<std::string, CLogFile_Recv>& e) {
        return m[e.first] = e.second, true;
      },
      record_count::MIN_STRING_SIZE + record_count::MIN_RECORD_SIZE, record_count::MapNode<std::string, CLogFile_Recv>());
  return v.Begin(*this) && v.Field("result", m_iResult) && v.Version(m_uiVersion, CURRENT_VERSION) &&
         v.List("files", files);
}
