#include "platform/SocketError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>

#include "transport/SocketTypes.h"

namespace {

// Every mapped errno reads as its Windows Sockets number, which has a text
// for the logs; anything else keeps its value and has none. A number set
// directly (the peer's graceful close has no errno) reads back unchanged.
TEST(SocketError, ErrnoValuesMapToWindowsSocketsNumbersWithTextsAndSetNumbersReadBack) {
  const int mapped[][2] = {
      {EINTR, 10004},         {EACCES, 10013},          {EFAULT, 10014},          {EINVAL, 10022},
      {EMFILE, 10024},        {EAGAIN, 10035},          {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
      {EALREADY, 10037},      {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},        {ENETUNREACH, 10051},     {ENETRESET, 10052},
      {ECONNABORTED, 10053},  {ECONNRESET, 10054},      {ENOBUFS, 10055},         {EISCONN, 10056},
      {ENOTCONN, 10057},      {ESHUTDOWN, 10058},       {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
      {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},    {ENOMEM, 8},              {EPIPE, EPIPE},
      {0, 0}};
  const auto& texts = GetSocketErrorTexts();
  for (const auto& m : mapped) {
    EXPECT_EQ(WSAErrorFromErrno(m[0]), m[1]) << "errno " << m[0];
    EXPECT_EQ(texts.count(m[1]), m[0] == m[1] ? 0u : 1u) << m[1];
  }
  errno = ECONNREFUSED;
  EXPECT_EQ(WSAGetLastError(), 10061);
  for (int code : {10061, 10036, 8, 10101, 0}) {
    errno = EINPROGRESS;
    WSASetLastError(code);
    EXPECT_EQ(WSAGetLastError(), code);
  }
  WSASetLastError(WSAECONNRESET);
  EXPECT_EQ(errno, ECONNRESET);
}

// A sender's address text as inet_ntop writes it, every octet width.
TEST(SocketTypes, AddressTextIsTheDottedQuad) {
  for (const char* text : {"0.0.0.0", "255.255.255.255", "127.0.0.1", "10.100.109.9", "192.168.20.99"}) {
    struct in_addr address {};
    ASSERT_EQ(inet_pton(AF_INET, text, &address), 1);
    EXPECT_EQ(AddressText(address), text);
  }
}

}  // namespace
