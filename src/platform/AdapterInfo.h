// The host's network adapters and the address-change notification, read from
// rtnetlink so that a network namespace sees its own interfaces (sysfs shows
// the host's). This is the one place that knows about netlink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

enum : DWORD { ERROR_IO_PENDING = 997 };

// One adapter: every interface that is up, except loopback. One that is
// administratively down is a disabled adapter and not listed.
struct CAdapterInfo {
  uint32_t Index = 0;
  std::string AdapterName;  // the interface name
  // The alias when set, else the link kind or driver, else the name.
  std::string Description;
  // Link-layer address, zero-filled past AddressLength.
  BYTE Address[8] = {0};
  uint32_t AddressLength = 0;
  // Every IPv4 address with its mask, dotted, in the order the kernel lists
  // them; a single "0.0.0.0"/"0.0.0.0" entry when the interface has no
  // carrier (up, not running) or no IPv4 address.
  struct CIPAddr {
    std::string IpAddress;
    std::string IpMask;
  };
  std::vector<CIPAddr> IpAddressList;
};

// The adapters in interface-index order. ERROR_SUCCESS, ERROR_NO_DATA when
// there is no adapter and the loopback is not up either (out empty), ERROR_NOT_ENOUGH_MEMORY when the list
// cannot be held, or another nonzero code when the kernel could not be asked.
DWORD GetAdaptersInfo(std::vector<CAdapterInfo>& out);

// One IPv4 address of the machine, as the socket layer's interface list
// gives it: address and mask (network byte order, and dotted), and the index
// and name of the interface that carries it.
struct CInterfaceAddress {
  uint32_t Index = 0;
  std::string Name;
  uint32_t Address = 0;
  uint32_t Mask = 0;
  std::string AddressText;
  std::string MaskText;
};

// The socket layer's interface list holds at most this many entries.
enum : size_t { INTERFACE_LIST_MAX = 20 };

// Every IPv4 address of the machine with its mask, loopback included and
// whatever state its interface is in, in the order the kernel lists them,
// cut after maxCount entries. ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, or
// another nonzero code when the kernel could not be asked (out empty).
DWORD GetInterfaceAddresses(std::vector<CInterfaceAddress>& out, size_t maxCount);

// One network link as the connection switches see it, loopback included.
struct CNetLink {
  uint32_t Index;
  std::string Name;
  std::string Alias;  // empty when it has none
  bool Up;            // administratively up
};

// Every link in interface-index order. ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY,
// or another nonzero code when the kernel could not be asked (out empty).
DWORD GetNetLinks(std::vector<CNetLink>& out);
// Sets the link administratively up or down. ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND (no such link), ERROR_ACCESS_DENIED (not allowed), or
// another nonzero code.
DWORD SetNetLinkUp(uint32_t index, bool up);
// Sets the link's alias (IFLA_IFALIAS), with the same results.
DWORD SetNetLinkAlias(uint32_t index, const std::string& alias);

// A counting semaphore whose waits can be combined with the address-change
// notification. Unnamed; holds a descriptor from Create to Close.
class CWakeSemaphore {
 public:
  CWakeSemaphore() = default;
  ~CWakeSemaphore() { Close(); }
  CWakeSemaphore(const CWakeSemaphore&) = delete;
  CWakeSemaphore& operator=(const CWakeSemaphore&) = delete;

  bool Create(uint32_t initialCount, uint32_t maximumCount);
  bool IsCreated() const { return m_Fd >= 0; }
  // Adds one to the count.
  bool Release();
  void Close();
  int Fd() const { return m_Fd; }
  // Takes one from the count when it is above zero.
  bool TryAcquire();

 private:
  int m_Fd = -1;
};

// The address-change notification: an rtnetlink socket subscribed to IPv4
// address and link changes. Messages that arrive while nobody waits stay
// queued, so a change between two waits is not lost.
class CAddrChangeNotify {
 public:
  CAddrChangeNotify() = default;
  ~CAddrChangeNotify() { Close(); }
  CAddrChangeNotify(const CAddrChangeNotify&) = delete;
  CAddrChangeNotify& operator=(const CAddrChangeNotify&) = delete;

  // Arms one notification (opening the socket on first use): ERROR_IO_PENDING
  // when armed, another code when the socket could not be opened.
  DWORD Request();
  void Close();

  enum WaitResult { WAIT_NOTIFIED = 0, WAIT_WOKEN = 1, WAIT_FAILED = 2 };
  // Waits without a time limit for a change (this object armed) or for the
  // semaphore; notify may be null to wait on the semaphore alone. A change
  // drains everything queued on the socket before returning, so one burst of
  // kernel messages ends one wait. The semaphore wins when both are ready.
  static WaitResult Wait(CAddrChangeNotify* notify, CWakeSemaphore& semaphore);

 private:
  void Drain();
  int m_Fd = -1;
};
