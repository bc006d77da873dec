// The program's version resource. On Windows it is a resource of the program
// file; here its contents are constants fixed at build time (the project
// version and the configure date). The queries mirror GetFileVersionInfoSize,
// GetFileVersionInfo and VerQueryValue, including the ways they fail, so that
// a caller reads and handles them as it would the real resource:
//
//   size = GetFileVersionInfoSize(path, &handle);        0: no resource
//   GetFileVersionInfo(path, handle, size, block);       FALSE: block too small
//   VerQueryValue(block, "\\VarFileInfo\\Translation", &p, &len);
//       p -> { WORD language, WORD code page } pairs, len = 4 per pair
//   VerQueryValue(block, "\\StringFileInfo\\040904b0\\ProductVersion", &p, &len);
//       p -> zero-terminated text, len = its length + 1
//   VerQueryValue(block, "\\", &p, &len);                p -> VS_FIXEDFILEINFO
//
// Every file of this build carries the same resource, so the path only has
// to name an existing file (the program's own is /proc/self/exe); a missing
// file has none. Sub-block names compare case-insensitively.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;  // major << 16 | minor
  DWORD dwFileVersionLS;  // patch << 16 | build
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

enum : DWORD { VS_FFI_SIGNATURE = 0xFEEF04BD, VS_FFI_STRUCVERSION = 0x00010000, VOS_NT_WINDOWS32 = 0x00040004,
               VFT_APP = 1 };

// Size of the block that GetFileVersionInfo fills; 0 when lptstrFilename is
// null or names no file. *lpdwHandle (when given) is set to 0.
DWORD GetFileVersionInfoSize(const char* lptstrFilename, LPDWORD lpdwHandle);

// Copies the resource into lpData. FALSE when the file has no resource or
// dwLen is smaller than GetFileVersionInfoSize's answer (nothing written).
BOOL GetFileVersionInfo(const char* lptstrFilename, DWORD dwHandle, DWORD dwLen, void* lpData);

// Finds a value in a block filled by GetFileVersionInfo. *lplpBuffer points
// into the block. FALSE (outputs untouched) for a block that is not one, an
// unknown sub-block, or a string table of another language and code page.
BOOL VerQueryValue(const void* pBlock, const char* lpSubBlock, void** lplpBuffer, unsigned* puLen);

namespace platform {

// The contents of a version resource: one string table, selected by its
// language and code page, and the fixed numbers.
struct VersionResource {
  WORD language = 0;
  WORD codePage = 0;
  DWORD versionMS = 0;  // major << 16 | minor
  DWORD versionLS = 0;  // patch << 16 | build
  std::vector<std::pair<std::string, std::string>> strings;  // name, text
};

// The resource of this build: language 0x0409, code page 0x04B0, and the
// strings FileDescription, FileVersion, ProductName, ProductVersion and
// CompileDate ("2026dec06": year, lower-case month, two-digit day).
const VersionResource& BuildVersionResource();

// Makes the queries read another resource (tests of callers that must cope
// with odd or missing strings); null restores the build's own, and
// SetNoVersionResource makes every file lack one. Not thread-safe: set it
// before the code under test runs.
void SetVersionResource(const VersionResource* resource);
void SetNoVersionResource();

}  // namespace platform
