// The version resource as a flat block: a header (magic, total size) and one
// entry per sub-block (name length, value length, name, value), each part
// padded to four bytes so that the fixed numbers can be read in place.
#include "platform/VersionInfo.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "BuildVersion.h"

namespace {

const DWORD kMagic = 0x49524556;  // "VERI"
const size_t kHeader = 8;

const platform::VersionResource* g_Override = nullptr;
bool g_None = false;

const platform::VersionResource* Current() {
  if (g_None) return nullptr;
  return g_Override ? g_Override : &platform::BuildVersionResource();
}

void PutDword(std::string& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

DWORD GetDword(const unsigned char* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

void Pad(std::string& out) {
  while (out.size() % 4) out.push_back('\0');
}

void PutEntry(std::string& out, const std::string& name, const void* value, size_t length) {
  PutDword(out, static_cast<DWORD>(name.size() + 1));
  PutDword(out, static_cast<DWORD>(length));
  out.append(name);
  out.push_back('\0');
  Pad(out);
  out.append(static_cast<const char*>(value), length);
  Pad(out);
}

std::string Block(const platform::VersionResource& r) {
  std::string out;
  PutDword(out, kMagic);
  PutDword(out, 0);  // Total size, set below.

  VS_FIXEDFILEINFO fixed;
  memset(&fixed, 0, sizeof fixed);
  fixed.dwSignature = VS_FFI_SIGNATURE;
  fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
  fixed.dwFileVersionMS = fixed.dwProductVersionMS = r.versionMS;
  fixed.dwFileVersionLS = fixed.dwProductVersionLS = r.versionLS;
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileOS = VOS_NT_WINDOWS32;
  fixed.dwFileType = VFT_APP;
  PutEntry(out, "\\", &fixed, sizeof fixed);

  WORD translation[2] = {r.language, r.codePage};
  PutEntry(out, "\\VarFileInfo\\Translation", translation, sizeof translation);

  char table[16];
  snprintf(table, sizeof table, "%04x%04x", r.language, r.codePage);
  for (const auto& s : r.strings)
    PutEntry(out, std::string("\\StringFileInfo\\") + table + "\\" + s.first, s.second.c_str(), s.second.size() + 1);

  DWORD total = static_cast<DWORD>(out.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>((total >> (8 * i)) & 0xFF);
  return out;
}

bool FileExists(const char* path) {
  struct stat st;
  return path && *path && stat(path, &st) == 0;
}

}  // namespace

namespace platform {

const VersionResource& BuildVersionResource() {
  static const VersionResource resource = [] {
    VersionResource r;
    r.language = 0x0409;
    r.codePage = 0x04B0;
    r.versionMS = static_cast<DWORD>(VCI_VERSION_MAJOR) << 16 | static_cast<DWORD>(VCI_VERSION_MINOR);
    r.versionLS = static_cast<DWORD>(VCI_VERSION_PATCH) << 16;
    r.strings = {
        {"FileDescription", VCI_FILE_DESCRIPTION},
        {"FileVersion", VCI_PRODUCT_VERSION ".0"},
        {"ProductName", VCI_PRODUCT_NAME},
        {"ProductVersion", VCI_PRODUCT_VERSION},
        {"CompileDate", VCI_COMPILE_DATE},
    };
    return r;
  }();
  return resource;
}

void SetVersionResource(const VersionResource* resource) {
  g_Override = resource;
  g_None = false;
}

void SetNoVersionResource() {
  g_Override = nullptr;
  g_None = true;
}

}  // namespace platform

DWORD GetFileVersionInfoSize(const char* lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  const platform::VersionResource* r = Current();
  if (!r || !FileExists(lptstrFilename)) return 0;
  return static_cast<DWORD>(Block(*r).size());
}

BOOL GetFileVersionInfo(const char* lptstrFilename, DWORD, DWORD dwLen, void* lpData) {
  const platform::VersionResource* r = Current();
  if (!r || !lpData || !FileExists(lptstrFilename)) return 0;
  std::string block = Block(*r);
  if (dwLen < block.size()) return 0;
  memcpy(lpData, block.data(), block.size());
  return 1;
}

BOOL VerQueryValue(const void* pBlock, const char* lpSubBlock, void** lplpBuffer, unsigned* puLen) {
  if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen) return 0;
  const unsigned char* base = static_cast<const unsigned char*>(pBlock);
  if (GetDword(base) != kMagic) return 0;
  size_t total = GetDword(base + 4);
  size_t pos = kHeader;
  while (pos + 8 <= total) {
    size_t nameLen = GetDword(base + pos), valueLen = GetDword(base + pos + 4);
    size_t name = pos + 8;
    size_t value = name + ((nameLen + 3) & ~size_t(3));
    size_t next = value + ((valueLen + 3) & ~size_t(3));
    if (nameLen == 0 || next > total) return 0;
    if (strcasecmp(reinterpret_cast<const char*>(base + name), lpSubBlock) == 0) {
      *lplpBuffer = const_cast<unsigned char*>(base + value);
      *puLen = static_cast<unsigned>(valueLen);
      return 1;
    }
    pos = next;
  }
  return 0;
}
