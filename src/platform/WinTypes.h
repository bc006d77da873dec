// The handful of Windows scalar types and result codes that the service's
// interfaces are written in. Only names are borrowed; nothing here talks to
// the operating system.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;

// Result codes shared by the registry and the adapter enumeration.
enum : LONG {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DATA = 13,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BUFFER_OVERFLOW = 111,
  ERROR_NO_DATA = 232,
  ERROR_MORE_DATA = 234,
};

// Broken-down system time, the form in which file times are compared.
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
