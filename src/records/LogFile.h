// Data-file fetch on the control connection: CLogFile_Send asks for the
// files of the service's data folder (the names it lists are not used), and
// the reply CLogFiles_Recv carries one CLogFile_Recv per file, by name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "serialize/Serialize.h"

class CLogFile_Send : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  CLogFile_Send();
  explicit CLogFile_Send(const std::vector<std::string>& names);
  bool VisitFields(CFieldVisitor& v) override;
  uint32_t m_uiVersion;
  std::vector<std::string> m_Names;
};

// One file: its name, size and contents (no contents on the wire for an
// empty file). The JSON form shows the size and the contents in
// hexadecimal; the size follows from the contents when taken in.
class CLogFile_Recv : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  CLogFile_Recv();
  // With result 0, reads the whole file at path. Any failure, and a file
  // longer than maxSize, makes the result -1 and leaves name and contents
  // empty; the name is taken only once the file has been read.
  CLogFile_Recv(int32_t result, const std::string& name, const std::string& path, uint64_t maxSize = UINT32_MAX);
  bool VisitFields(CFieldVisitor& v) override;

  const std::string& GetName() const { return m_strName; }
  uint32_t GetSize() const { return static_cast<uint32_t>(m_Contents.size()); }
  const std::vector<uint8_t>& GetContents() const { return m_Contents; }

  uint32_t m_uiVersion;
  std::string m_strName;
  std::vector<uint8_t> m_Contents;
};

// The files travel as {name, file} pairs: the name under which a file is
// filed is on the wire apart from the file's own name.
class CLogFiles_Recv : public CResponse {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  CLogFiles_Recv();
  bool VisitFields(CFieldVisitor& v) override;
  // 0, or -1 when a file of that name is present already (not added then).
  int Add(const CLogFile_Recv& file);
  const std::map<std::string, CLogFile_Recv>& GetFiles() const { return m_Files; }

  uint32_t m_uiVersion;
  std::map<std::string, CLogFile_Recv> m_Files;
};
