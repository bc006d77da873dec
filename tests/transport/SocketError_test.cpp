#include "platform/SocketError.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "transport/SocketTypes.h"

namespace {

TEST(SocketError, EveryMappedErrnoReadsWithItsWindowsSocketsText) {
  struct Case {
    int err;
    int wsa;
    const char* text;
  } cases[] = {
      {EINTR, 10004, "Interrupted function call"},
      {EAGAIN, 10035, "Resource temporarily unavailable"},
      {EWOULDBLOCK, 10035, "Resource temporarily unavailable"},
      {EINPROGRESS, 10036, "Operation now in progress"},
      {EADDRINUSE, 10048, "Address already in use."},
      {EADDRNOTAVAIL, 10049, "Cannot assign requested address"},
      {ECONNRESET, 10054, "Connection reset by peer"},
      {ETIMEDOUT, 10060, "Connection timed out"},
      {ECONNREFUSED, 10061, "Connection refused"},
      {EHOSTUNREACH, 10065, "No route to host"},
      {ENOMEM, 8, "Insufficient memory available"},
  };
  const auto& texts = GetSocketErrorTexts();
  for (const Case& c : cases) {
    EXPECT_EQ(WSAErrorFromErrno(c.err), c.wsa) << c.err;
    auto it = texts.find(c.wsa);
    ASSERT_NE(it, texts.end()) << c.wsa;
    EXPECT_EQ(it->second, c.text);
  }
  // Every errno of the mapping lands on an entry of the text table.
  const int mapped[] = {EINTR, EACCES, EFAULT, EINVAL, EMFILE, EAGAIN, EINPROGRESS, EALREADY, ENOTSOCK,
                        EDESTADDRREQ, EMSGSIZE, EPROTOTYPE, ENOPROTOOPT, EPROTONOSUPPORT, ESOCKTNOSUPPORT,
                        EOPNOTSUPP, EPFNOSUPPORT, EAFNOSUPPORT, EADDRINUSE, EADDRNOTAVAIL, ENETDOWN, ENETUNREACH,
                        ENETRESET, ECONNABORTED, ECONNRESET, ENOBUFS, EISCONN, ENOTCONN, ESHUTDOWN, ETIMEDOUT,
                        ECONNREFUSED, EHOSTDOWN, EHOSTUNREACH, ENOMEM};
  for (int err : mapped) EXPECT_EQ(texts.count(WSAErrorFromErrno(err)), 1u) << "errno " << err;
}

TEST(SocketError, UnmappedErrnoKeepsItsValueAndHasNoText) {
  EXPECT_EQ(WSAErrorFromErrno(EPIPE), EPIPE);
  EXPECT_EQ(WSAErrorFromErrno(0), 0);
  EXPECT_EQ(GetSocketErrorTexts().count(EPIPE), 0u);
  errno = ECONNREFUSED;
  EXPECT_EQ(WSAGetLastError(), 10061);
}

TEST(SocketError, AnErrorSetByNumberReadsBackAsThatNumber) {
  // A mapped number and one without an errno (the peer's graceful close).
  for (int code : {10061, 10036, 8, 10101, 0}) {
    errno = EINPROGRESS;
    WSASetLastError(code);
    EXPECT_EQ(WSAGetLastError(), code);
  }
  WSASetLastError(WSAECONNRESET);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST(SocketError, TheTextTableHoldsTheFortyNineEntries) {
  const auto& texts = GetSocketErrorTexts();
  EXPECT_EQ(texts.size(), 49u);
  EXPECT_EQ(texts.at(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(texts.at(6), "Specified event object handle is invalid");
  EXPECT_EQ(texts.at(995), "Overlapped operation aborted");
}

}  // namespace
