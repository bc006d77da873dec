// The last socket error as a Windows Sockets number. The sockets of the
// service report their failures with these numbers ("error code = %d") and
// look their texts up by them, so errno is translated in exactly one place.
#pragma once

enum : int {
  WSA_NOT_ENOUGH_MEMORY = 8,
  WSAEINTR = 10004,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  // The peer closed its side in order: no errno stands for it on Linux,
  // where such a receive simply returns 0 bytes.
  WSAEDISCON = 10101,
};

// The Windows Sockets number of an errno value; a value without one is
// returned unchanged (and reads "Unknown Error Code" in the reports).
int WSAErrorFromErrno(int err);
// WSAErrorFromErrno (errno) of the calling thread.
int WSAGetLastError();
// Makes code the calling thread's last socket error, for a failure that no
// system call reported (a receive of 0 bytes where data was due), so that
// its report does not carry the number of some earlier call.
void WSASetLastError(int code);
