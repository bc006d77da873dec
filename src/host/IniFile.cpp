#include "host/IniFile.h"

#include <cstdlib>
#include <mutex>

#include <iniparser.h>

#include "platform/MemoryFile.h"

namespace {

// iniparser reports a missing file and every syntax error on standard error;
// both are ordinary answers here (no ident.ini means defaults), given by the
// result. The callback is process-wide state of the library: set it once.
int Quiet(const char*, ...) { return 0; }
std::once_flag g_QuietOnce;

dictionary* Parse(const char* path) {
  std::call_once(g_QuietOnce, [] { iniparser_set_error_callback(Quiet); });
  return iniparser_load(path);
}

}  // namespace

void CIniFile::Deleter::operator()(_dictionary_* d) const { iniparser_freedict(d); }

CIniFile::CIniFile() = default;
CIniFile::~CIniFile() = default;

bool CIniFile::Load(const std::string& path) {
  m_pDict.reset(Parse(path.c_str()));
  return IsLoaded();
}

bool CIniFile::LoadText(const char* text, size_t length) {
  m_pDict.reset();
  CMemoryFile file(text, length);
  if (file.IsOpen()) m_pDict.reset(Parse(file.GetPath().c_str()));
  return IsLoaded();
}

void CIniFile::Clear() { m_pDict.reset(); }

const char* CIniFile::Find(const char* key) const {
  return m_pDict ? iniparser_getstring(m_pDict.get(), key, nullptr) : nullptr;
}

std::string CIniFile::GetString(const char* key, const std::string& def) const {
  const char* s = Find(key);
  return s ? s : def;
}

long CIniFile::GetInt(const char* key, long def) const {
  const char* s = Find(key);
  return s ? std::strtol(s, nullptr, 0) : def;
}

bool CIniFile::GetBool(const char* key, bool def) const {
  const char* s = Find(key);
  if (!s) return def;
  switch (s[0]) {
    case 'y': case 'Y': case '1': case 't': case 'T':
      return true;
    case 'n': case 'N': case '0': case 'f': case 'F':
      return false;
    default:
      return def;
  }
}
