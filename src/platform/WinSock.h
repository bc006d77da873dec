// The Windows sockets layer's start and clean-up. POSIX sockets need neither:
// both succeed and do nothing else.
#pragma once

#include "platform/WinTypes.h"

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
typedef WSADATA* LPWSADATA;

#define MAKEWORD(lo, hi) static_cast<WORD>((static_cast<BYTE>(hi) << 8) | static_cast<BYTE>(lo))

// 0; the version asked for is the version granted.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();
