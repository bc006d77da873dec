// CMemoryFile: bytes held in an anonymous in-memory file that a library which
// reads only from a path (iniparser) can open by name, so that deciphered
// text is parsed without ever reaching the disk.
#pragma once

#include <cstddef>
#include <string>

class CMemoryFile {
 public:
  // Copies the bytes into the file. IsOpen tells whether that succeeded.
  CMemoryFile(const void* data, size_t size);
  ~CMemoryFile();
  CMemoryFile(const CMemoryFile&) = delete;
  CMemoryFile& operator=(const CMemoryFile&) = delete;

  bool IsOpen() const { return m_iFd >= 0; }
  // A path that opens the file for reading while this object lives.
  const std::string& GetPath() const { return m_strPath; }

 private:
  int m_iFd;
  std::string m_strPath;
};
