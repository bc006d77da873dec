// CIniFile: an ini text parsed with iniparser, read through one set of
// readers that every ini file of the service uses (ident.ini, the product
// configuration, the Bluetooth device files). Keys are "section:key", looked
// up case-insensitively.
//
// iniparser files a section as an entry of its own whose value is null, so a
// section named like a key ("[timeouts:PAIR_TIMEOUT]") answers a lookup of
// that key with a null value, which iniparser's own number and boolean
// readers dereference. These readers take the text first and treat a null as
// an absent key; for a present value they parse exactly as iniparser does.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct _dictionary_;

class CIniFile {
 public:
  CIniFile();
  ~CIniFile();
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;

  // Parses a file, or a text held in memory (it never reaches the disk).
  // False, with nothing held, when the file cannot be read or the text
  // breaks the ini syntax. Whatever was held before is dropped either way.
  bool Load(const std::string& path);
  bool LoadText(const char* text, size_t length);
  void Clear();
  bool IsLoaded() const { return m_pDict != nullptr; }

  // The value text, or null when the key is absent or names a section.
  const char* Find(const char* key) const;
  std::string GetString(const char* key, const std::string& def) const;
  // A C integer with automatic base (decimal, 0x hexadecimal, 0 octal);
  // text that is no number reads as 0, as strtol makes it.
  long GetInt(const char* key, long def) const;
  // True for a value beginning with y, Y, 1, t or T; false for n, N, 0, f or
  // F; def for any other value.
  bool GetBool(const char* key, bool def) const;

  // Section names in file order (as iniparser keeps them: lower case).
  std::vector<std::string> GetSections() const;
  // How many keys a section (named as GetSections gives it) holds.
  long CountKeys(const std::string& section) const;
  // Every "section:key" that has a value, in file order (as iniparser keeps
  // them: lower case). A key before the first section is ":key".
  std::vector<std::string> GetKeys() const;
  // Sets "section:key" to value, or files a section when key has no colon
  // and value is null; the section of a key must exist. An empty dictionary
  // is started when nothing is held. False when iniparser refuses.
  bool Set(const char* key, const char* value);
  // Writes the whole dictionary as ini text in place of path, atomically
  // (a reader sees the old file or the new one, never a part); each value
  // reads back as it is, quoted where it must be, but for line breaks at its
  // end. False, with path as it was, when nothing is held, the text would
  // not read back with every entry and value, or the file cannot be
  // written.
  bool Save(const std::string& path) const;

 private:
  // Whether other holds every entry of this one with the same value (as the
  // reader can give values back: without line breaks at their end).
  // Requires both loaded.
  bool SameEntries(const CIniFile& other) const;

  struct Deleter {
    void operator()(_dictionary_* d) const;
  };
  std::unique_ptr<_dictionary_, Deleter> m_pDict;
};
