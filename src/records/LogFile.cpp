#include "records/LogFile.h"

#include <cstdio>

#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

namespace {

// Nothing is read of a file longer than maxSize.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 0 && size <= 0x7FFFFFFFL && static_cast<uint64_t>(size) <= maxSize &&
       std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out.resize(static_cast<size_t>(size));
    ok = size == 0 || std::fread(out.data(), 1, out.size(), f) == out.size();
  }
  std::fclose(f);
  if (!ok) out.clear();
  return ok;
}

}  // namespace

CLogFile_Send::CLogFile_Send() : CSerialize(OBJID_CLogFile_Send), m_uiVersion(CURRENT_VERSION) {}

CLogFile_Send::CLogFile_Send(const std::vector<std::string>& names) : CLogFile_Send() { m_Names = names; }

bool CLogFile_Send::VisitFields(CFieldVisitor& v) {
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.Field("names", m_Names);
}

CLogFile_Recv::CLogFile_Recv() : CResponse(OBJID_CLogFile_Recv), m_uiVersion(CURRENT_VERSION) {}

CLogFile_Recv::CLogFile_Recv(int32_t result, const std::string& name, const std::string& path, uint64_t maxSize)
    : CResponse(OBJID_CLogFile_Recv, result), m_uiVersion(CURRENT_VERSION) {
  if (result != 0) return;
  if (ReadWholeFile(path, m_Contents, maxSize))
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
