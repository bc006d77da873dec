#include "transport/SocketTypes.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>

#include "host/TransportLogger.h"
#include "platform/Kernel.h"
#include "platform/SocketError.h"

const char* const VCI_MULTICAST_GROUP = "225.1.1.1";

namespace {
std::atomic<bool> g_ConsoleReports{true};
}  // namespace

void SetSocketConsoleReports(bool on) { g_ConsoleReports.store(on); }
bool GetSocketConsoleReports() { return g_ConsoleReports.load(); }

const std::map<int, std::string>& GetSocketErrorTexts() {
  static const std::map<int, std::string> texts = {
      {10004, "Interrupted function call"},
      {10013, "Permission denied"},
      {10014, "Bad address"},
      {10022, "Invalid argument"},
      {10024, "Too many open files"},
      {10035, "Resource temporarily unavailable"},
      {10036, "Operation now in progress"},
      {10037, "Operation already in progress"},
      {10038, "Socket operation on nonsocket"},
      {10039, "Destination address required"},
      {10040, "Message too long"},
      {10041, "Protocol wrong type for socket"},
      {10042, "Bad protocol option"},
      {10043, "Protocol not supported"},
      {10044, "Socket type not supported"},
      {10045, "Operation not supported"},
      {10046, "Protocol family not supported"},
      {10047, "Address family not supported by protocol family"},
      {10048, "Address already in use."},
      {10049, "Cannot assign requested address"},
      {10050, "Network is down"},
      {10051, "Network is unreachable"},
      {10052, "Network dropped connection on reset"},
      {10053, "Software caused connection abort"},
      {10054, "Connection reset by peer"},
      {10055, "No buffer space available"},
      {10056, "Socket is already connected"},
      {10057, "Socket is not connected"},
      {10058, "Cannot send after socket shutdown"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10064, "Host is down"},
      {10065, "No route to host"},
      {10067, "Too many processes"},
      {10091, "Network subsystem is unavailable"},
      {10092, "Winsock.dll version out of range"},
      {10093, "Successful WSAStartup not yet performed"},
      {10101, "Graceful shutdown in progress"},
      {10109, "Class type not found"},
      {11001, "Host not found"},
      {11002, "Nonauthoritative host not found"},
      {11003, "This is a nonrecoverable error"},
      {11004, "Valid name, no data record of requested type"},
      {6, "Specified event object handle is invalid"},
      {87, "One or more parameters are invalid"},
      {996, "Overlapped I/O event object not in signaled state"},
      {997, "Overlapped operations will complete later"},
      {8, "Insufficient memory available"},
      {995, "Overlapped operation aborted"},
  };
  return texts;
}

void GetSocketTimeStamp(long& seconds, long& ticks100ns) {
  const WallClock now = GetWallClock();
  seconds = static_cast<long>(now.llSeconds);
  ticks100ns = static_cast<long>(now.uiTicks100ns);
}

std::string AddressText(const struct in_addr& address) {
  // Written digit by digit: a receive thread makes the text of nearly every
  // datagram's sender (each VCI announces from its own address), and the
  // C library's formatting costs several times the rest of the datagram's
  // bookkeeping.
  const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address.s_addr);
  char text[INET_ADDRSTRLEN];
  char* p = text;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = octets[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    if (i < 3) *p++ = '.';
  }
  return std::string(text, static_cast<size_t>(p - text));
}

void ReportServerSocketError(CTransportLogger& logger, const char* message) {
  const int code = WSAGetLastError();
  const auto& texts = GetSocketErrorTexts();
  auto it = texts.find(code);
  const char* text = it != texts.end() ? it->second.c_str() : "Unknown Error Code";
  if (GetSocketConsoleReports()) {
    std::printf("%s: error code = %d, error string = %s\n", message, code, text);
    std::fflush(stdout);
  }
  long seconds = 0, ticks = 0;
  GetSocketTimeStamp(seconds, ticks);
  logger.TrnLog("SS: %ld.%ld - %s: error code = %d, error string = %s\n", seconds, ticks, message, code, text);
}
