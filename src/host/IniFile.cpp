#include "host/IniFile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <iniparser.h>

#include "platform/Files.h"
#include "platform/MemoryFile.h"
#include "platform/Mutex.h"

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

// A value as the reader can give it back: without the line breaks at its
// end. The line's own end stands for them (a time stamp of the Bluetooth
// files is ctime's text, which ends in one); the reader never returns one.
std::string WithoutFinalLineBreaks(const char* value) {
  std::string v = value;
  while (!v.empty() && v.back() == '\n') v.pop_back();
  return v;
}

// A value in the form that the reader gives back as it is. Bare, unless the
// reader would take it otherwise: it strips blanks at either end, takes a
// value that begins with a quote as a quoted one, ends a value at a comment
// character and joins the next line to one that ends in a backslash. Then
// between double quotes, or single ones when it holds a double quote, since
// a quoted value ends at its quote. A value that no form holds (a line
// break inside; both quotes and a blank at an end) is written bare all the
// same and fails the check of the written text.
std::string ValueText(const char* value) {
  const std::string v = WithoutFinalLineBreaks(value);
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  if (v.empty() || (!blank(v.front()) && !blank(v.back()) && v.front() != '"' && v.front() != '\'' &&
                    v.back() != '\\' && v.find_first_of(";#") == std::string::npos))
    return v;
  if (v.find('"') == std::string::npos) return '"' + v + '"';
  if (v.find('\'') == std::string::npos) return '\'' + v + '\'';
  return v;
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

std::vector<std::string> CIniFile::GetSections() const {
  std::vector<std::string> out;
  const int n = m_pDict ? iniparser_getnsec(m_pDict.get()) : 0;
  for (int i = 0; i < n; ++i) {
    const char* name = iniparser_getsecname(m_pDict.get(), i);
    if (name) out.emplace_back(name);
  }
  return out;
}

long CIniFile::CountKeys(const std::string& section) const {
  // Counted here rather than by iniparser_getsecnkeys, which builds the
  // prefix in a buffer of fixed size.
  const std::string prefix = section + ":";
  long n = 0;
  const dictionary* d = m_pDict.get();
  for (ssize_t i = 0; d && i < d->size; ++i)
    if (d->key[i] && std::strncmp(d->key[i], prefix.c_str(), prefix.size()) == 0) ++n;
  return n;
}

std::vector<std::string> CIniFile::GetKeys() const {
  std::vector<std::string> keys;
  const dictionary* d = m_pDict.get();
  for (ssize_t i = 0; d && i < d->size; ++i)
    if (d->key[i] && d->val[i] && std::strchr(d->key[i], ':')) keys.emplace_back(d->key[i]);
  return keys;
}

bool CIniFile::Set(const char* key, const char* value) {
  if (!m_pDict) m_pDict.reset(dictionary_new(0));
  return m_pDict && iniparser_set(m_pDict.get(), key, value) == 0;
}

bool CIniFile::Save(const std::string& path) const {
  if (!m_pDict) return false;
  // iniparser writes every value bare: it writes a copy that holds each
  // value in the form that reads back as it is, in the same order.
  const dictionary* d = m_pDict.get();
  std::unique_ptr<dictionary, Deleter> copy(dictionary_new(0));
  bool copied = copy != nullptr;
  for (ssize_t i = 0; copied && i < d->size; ++i) {
    if (!d->key[i]) continue;
    copied = dictionary_set(copy.get(), d->key[i], d->val[i] ? ValueText(d->val[i]).c_str() : nullptr) == 0;
  }
  if (!copied) return false;
  // The text is made in memory first, so that a failed write never leaves a
  // half-written file where the old one was.
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  if (!f) return false;
  iniparser_dump_ini(copy.get(), f);
  const bool written = std::fclose(f) == 0;
  // iniparser writes some names that it cannot read back (a section named
  // with a colon or with no name, from a garbled file), and some values no
  // form holds: such a text would leave a file that no later load accepts,
  // or one that has lost entries or changed values, so the file keeps its
  // old text instead.
  CIniFile check;
  const bool ok = written && check.LoadText(text, size) && SameEntries(check) &&
                  platform::ReplaceFileAtomically(path, text, size);
  std::free(text);
  return ok;
}

bool CIniFile::SameEntries(const CIniFile& other) const {
  const dictionary* d = m_pDict.get();
  for (ssize_t i = 0; i < d->size; ++i) {
    if (!d->key[i]) continue;
    const char* theirs = other.Find(d->key[i]);
    if (!d->val[i]) {
      if (iniparser_find_entry(other.m_pDict.get(), d->key[i]) == 0) return false;
    } else if (!theirs || WithoutFinalLineBreaks(d->val[i]) != theirs) {
      return false;
    }
  }
  return true;
}
