// Names shared by the server and the client socket: the socket handle, the
// socket types, and the frame-size limit of the TCP exchanges.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>

typedef int SOCKET;
enum : int { INVALID_SOCKET = -1, SOCKET_ERROR = -1 };

// Socket types; the same values serve both socket classes.
enum : int {
  SOCKTYPE_NONE = -1,
  SOCKTYPE_TCP = 1,
  SOCKTYPE_UDP_BROADCAST = 2,
  SOCKTYPE_UDP_RAW = 3,
  SOCKTYPE_UDP_MULTICAST = 4,
};

// The multicast group on which VCIs announce themselves.
extern const char* const VCI_MULTICAST_GROUP;  // "225.1.1.1"

// The largest TCP frame (length field, which counts its own four bytes)
// that a server or client socket accepts. The service's own frames stay far
// below 64 KiB and the largest replies it reads (data files of a VCI, the
// detail records) stay below a few hundred KiB, so 4 MiB leaves ample room
// while a hostile or garbled length field can never make a socket allocate
// more than that: a larger length is a receive error, and nothing is
// allocated for it.
enum : uint32_t { MAX_FRAME_LENGTH = 4u * 1024u * 1024u };

// The largest frame that carries the VCI table (a table event, a
// registration's reply): the service sends none larger, and an application's
// event port and its registration accept up to this. The table holds at most
// 4096 VCIs; a fetched VCI's record takes about 0.6 KB and one heard only
// from its announcements less, so 4 KiB each leaves room to spare. What a
// host of the LAN makes a record hold beyond that is left out of the frame
// (the largest records first), not sent for the receiver to refuse.
enum : uint32_t { MAX_TABLE_FRAME_LENGTH = 4096u * 4096u };

// The Windows Sockets error texts (49 entries) that both sockets report
// their errors with.
const std::map<int, std::string>& GetSocketErrorTexts();

// Whether the sockets also print their error reports on standard output
// (on by default, as the service and the diagnostics tool show them). A
// program whose standard output belongs to someone else (the client library
// inside an application) turns it off; the reports still reach the logs.
void SetSocketConsoleReports(bool on);
bool GetSocketConsoleReports();

// The dotted text of an IPv4 address.
std::string AddressText(const struct in_addr& address);

class CTransportLogger;
// A server socket's error report: the last socket error with its text (or
// "Unknown Error Code") on standard output, when console reports are on,
// and as an "SS:" line of the transport log.
void ReportServerSocketError(CTransportLogger& logger, const char* message);

// Seconds since 1970 and the fraction of the current second in 100 ns units,
// the time stamp of the sockets' transport-log error lines.
void GetSocketTimeStamp(long& seconds, long& ticks100ns);
