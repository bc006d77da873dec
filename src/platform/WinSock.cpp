#include "platform/WinSock.h"

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  if (lpWSAData) *lpWSAData = WSADATA{wVersionRequested, wVersionRequested};
  return 0;
}

int WSACleanup() { return 0; }
