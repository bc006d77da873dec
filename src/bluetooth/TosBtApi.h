// TosBtApi.h: the C interface between the service and the Bluetooth stack
// library "libTosBtApi.so". It is the one contract both sides build on: the
// service (CBtApi, which dlopen()s the library through the loader's search
// path, so LD_LIBRARY_PATH selects a stack) and every stack that implements
// it (the simulated one included). Only the entry points the service calls
// are declared; a stack may export more.
//
// Conventions
// - C linkage, fixed-width types, no C++ types across the boundary. Every
//   entry point returns int32_t: nonzero = success, 0 = failure. Where a
//   call takes an int32_t* status, the stack always writes it before the
//   call returns (TOSBT_STATUS_OK on success, a TOSBT_STATUS_* error
//   otherwise); the pointer is never null.
// - Device addresses are 6 bytes in the stack's order; their text form is
//   "%02x:%02x:%02x:%02x:%02x:%02x" over bytes 0 to 5.
// - Windows are 32-bit handles of the program's window layer
//   (platform/WinUser.h); 0 is no window.
//
// Memory
// - Lists (device, connected, CID lists) are allocated by the stack and
//   handed to the caller through a pointer-to-pointer argument; the caller
//   owns them from then on and releases each with BtMemFree. BtMemFree(NULL)
//   does nothing. The caller never frees stack memory any other way, and the
//   stack never frees a list it handed over.
// - Memory the caller hands to an asynchronous request (a list pointer to
//   fill, a name buffer, the connect block's CID, output and status fields)
//   is written by the stack only until it posts that request's END
//   notification, or until BtCloseAPI returns on the thread that opened the
//   session, whichever comes first. After either, the stack neither writes
//   into that memory nor posts to the request's window. So the caller may
//   free it after END or after its own BtCloseAPI.
//
// Sessions
// - BtOpenAPI opens a session for the calling thread, naming the window that
//   the session's notifications go to; BtCloseAPI closes the calling
//   thread's session and cancels its pending requests (a discovery stops, a
//   pending connect is abandoned) without posting anything for them.
// - A thread may end without BtCloseAPI when it has no request pending (the
//   service does so after a synchronous call failed); its session then
//   lapses, and a later BtOpenAPI on another thread opens a new one.
// - Every entry point returns within a bounded time (at most
//   TOSBT_MAX_CALL_MS); the slow work (inquiry, name request, connect and
//   pairing) runs on the stack's own threads and reports through
//   notifications.
//
// Notifications
// - The stack posts notifications with the program's own window function
//   PostMessage (C linkage, exported by the program to the libraries it
//   loads, as a Windows library reaches user32: see platform/WinUser.h and
//   the program's export list), from any thread of the stack:
//       PostMessage(hWnd, uMsg, code, lParam)
//   where hWnd, uMsg and lParam are exactly the values given in the request
//   and code is one of the TOSBTAPI_NM_* codes below. lParam is full width
//   (intptr_t), so it can carry a pointer. A failed PostMessage (the window
//   is gone) is ignored by the stack.
// - Order per request: discovery START, FOUND per device, ERROR when the
//   inquiry failed, then END (always last, also after ERROR); name START,
//   FOUND or ERROR, END; connect START, CONNECTED or ERROR, END.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WinUser.h"

// ---- Limits and flags ------------------------------------------------------

enum : uint32_t {
  TOSBT_MAX_CALL_MS = 5000,         // longest time any entry point may block
  TOSBT_NAME_BUFFER_SIZE = 250,     // name buffer given to BtDiscoverRemoteName
  TOSBT_MAX_NAME_LENGTH = 248,      // longest friendly name, without the terminator
  TOSBT_DISCOVER_ALL = 0x40000000,  // BtDiscoverRemoteDevice2: every device in range
  TOSBT_REMOTE_LIST_PAIRED = 8,     // BtGetRemoteDeviceList2: the devices with a link key
  TOSBT_CONNECT_ACL = 1,            // BtConnect's connection type (and the block's field at 6)
  TOSBT_CONNECT_OUTPUT_KIND = 1,    // BtConnect's output kind (and the block's field at 72)
  TOSBT_IO_CAP_DISPLAY_ONLY = 0,    // BtSetIOCapabilityResponse arguments
  TOSBT_OOB_NONE = 0,
  TOSBT_AUTH_GENERAL_BONDING = 4,
  TOSBT_MAX_PIN_LENGTH = 16,
};

// ---- Status words (written through int32_t* status) ------------------------

enum : int32_t {
  TOSBT_STATUS_OK = 0,
  TOSBT_STATUS_NOT_OPEN = -1,           // no session on this thread
  TOSBT_STATUS_INVALID_PARAMETER = -2,  // a null pointer, bad length or flags
  TOSBT_STATUS_NO_RADIO = -3,           // no local radio, or it is off
  TOSBT_STATUS_BUSY = -4,               // a request of that kind is already running
  TOSBT_STATUS_NO_DEVICE = -5,          // the device does not answer
  TOSBT_STATUS_NOT_CONNECTED = -6,      // no such connection (CID)
  TOSBT_STATUS_AUTH_FAILED = -7,        // pairing refused: wrong PIN, rejected
  TOSBT_STATUS_NOT_PAIRED = -8,         // no link key for the device
  TOSBT_STATUS_NOT_RUNNING = -9,        // nothing to cancel
  TOSBT_STATUS_NO_MEMORY = -10,
  TOSBT_STATUS_TIMEOUT = -11,           // the device stopped answering
};

// ---- Notification message numbers the service asks for ---------------------
// The stack posts whatever message number the request names; these are the
// ones the service names (also the codes of its own command messages).

enum : uint32_t {
  WM_DISCOVER_REMOTE_DEVICE2 = 1035,  // BtDiscoverRemoteDevice2 notifications
  WM_BT_CONNECT = 1037,               // BtConnect notifications
  WM_DISCOVER_REMOTE_NAME = 1040,     // BtDiscoverRemoteName notifications
};

// ---- Notification codes (the message's wParam) -----------------------------

enum : uint32_t {
  TOSBTAPI_NM_DISCOVERDEVICE_ERROR = 0x600000,
  TOSBTAPI_NM_DISCOVERDEVICE_START = 0x600001,
  TOSBTAPI_NM_DISCOVERDEVICE_FOUND = 0x600080,
  TOSBTAPI_NM_DISCOVERDEVICE_END = 0x6000FF,
  TOSBTAPI_NM_DISCOVERNAME_ERROR = 0x600200,
  TOSBTAPI_NM_DISCOVERNAME_START = 0x600201,
  TOSBTAPI_NM_DISCOVERNAME_FOUND = 0x600280,
  TOSBTAPI_NM_DISCOVERNAME_END = 0x6002FF,
  TOSBTAPI_NM_CONNECT_ERROR = 0x901000,
  TOSBTAPI_NM_CONNECT_START = 0x901001,
  TOSBTAPI_NM_CONNECT_CONNECTED = 0x901080,
  TOSBTAPI_NM_CONNECT_END = 0x9010FF,
};

// ---- Lists and blocks ------------------------------------------------------
// Packed, little-endian, offsets fixed by the static_asserts below.

#pragma pack(push, 1)

// One remote device, 264 bytes. The service reads only the address.
struct BTDEVINFO {
  uint32_t dwFlags;              // 0: bit 0 = paired (has a link key), bit 1 = connected
  uint8_t BdAddr[6];             // 4
  uint8_t ClassOfDevice[3];      // 10
  uint8_t PageScanRepMode;       // 13
  uint16_t wClockOffset;         // 14
  char FriendlyName[248];        // 16: UTF-8, zero-terminated unless 248 long; empty when unknown
};
enum : uint32_t { TOSBT_DEV_PAIRED = 1, TOSBT_DEV_CONNECTED = 2 };

// BtDiscoverRemoteDevice2's list: the count, then the entries.
struct BTDEVINFOLIST {
  uint32_t dwDevListNum;  // 0
  BTDEVINFO DevInfo[1];   // 4: dwDevListNum entries (the list may be 4 bytes when empty)
};

// One established link, 12 bytes.
struct BTCONNECTEDDEVINFO {
  uint8_t BdAddr[6];            // 0
  uint16_t wConnectionHandle;   // 6
  uint8_t Role;                 // 8: 0 = master, 1 = slave
  uint8_t Reserved[3];          // 9
};
struct BTCONNECTEDDEVLIST {
  uint32_t dwListNum;              // 0
  BTCONNECTEDDEVINFO Entry[1];     // 4
};

// One L2CAP channel of a link, 4 bytes.
struct BTCIDINFO {
  uint16_t wCID;               // 0
  uint16_t wConnectionHandle;  // 2: the link it runs on (BTCONNECTEDDEVINFO)
};
struct BTCIDLIST {
  uint32_t dwListNum;     // 0
  BTCIDINFO Entry[1];     // 4
};

// BtDeleteLinkKey's argument: a count and that many addresses.
struct BTDEVADDRLIST {
  uint32_t dwNum;        // 0
  uint8_t BdAddr[1][6];  // 4: dwNum addresses
};

// The connect request block, 108 bytes, zero-filled by the caller, who keeps
// it until the connect's END notification (or its own BtCloseAPI). BtConnect
// is given pointers into it (CID at 38, output area at 40, status at 76); the
// stack writes those and nothing else of the block. The window handle at 80
// is the window layer's 32-bit handle; the block's own address does not fit
// the 32 bits at 88, so that field holds a 32-bit handle of the caller's
// choosing that the caller maps back to its block, while the notifications
// carry the block itself in their full-width lParam.
struct BTCONNECTREQUEST {
  uint8_t BdAddr[6];            // 0: the remote device
  uint16_t wConnectType;        // 6: TOSBT_CONNECT_ACL
  uint8_t Reserved8[30];        // 8
  uint16_t wCID;                // 38: filled by the stack before CONNECTED
  uint8_t Output[32];           // 40: output area given to the stack
  uint32_t dwOutputKind;        // 72: TOSBT_CONNECT_OUTPUT_KIND
  int32_t lStatus;              // 76: filled by the stack before every notification
  uint32_t hWnd;                // 80: window for notifications
  uint32_t uMsg;                // 84: notification message number (WM_BT_CONNECT)
  uint32_t dwParamHandle;       // 88: the caller's 32-bit handle of this block
  uint8_t Reserved92[12];       // 92
  uint32_t dwConnectError;      // 104: the caller's own error flag; the stack leaves it
};

#pragma pack(pop)

static_assert(sizeof(BTDEVINFO) == 264, "device entry size");
static_assert(offsetof(BTDEVINFO, BdAddr) == 4, "device entry address");
static_assert(offsetof(BTDEVINFO, FriendlyName) == 16, "device entry name");
static_assert(offsetof(BTDEVINFOLIST, DevInfo) == 4, "device list entries");
static_assert(sizeof(BTCONNECTEDDEVINFO) == 12, "connected entry size");
static_assert(offsetof(BTCONNECTEDDEVINFO, wConnectionHandle) == 6, "connected entry handle");
static_assert(offsetof(BTCONNECTEDDEVLIST, Entry) == 4, "connected list entries");
static_assert(sizeof(BTCIDINFO) == 4, "CID entry size");
static_assert(offsetof(BTCIDINFO, wConnectionHandle) == 2, "CID entry handle");
static_assert(offsetof(BTCIDLIST, Entry) == 4, "CID list entries");
static_assert(sizeof(BTDEVADDRLIST) == 10, "address list with one address");
static_assert(sizeof(BTCONNECTREQUEST) == 108, "connect block size");
static_assert(offsetof(BTCONNECTREQUEST, wConnectType) == 6, "connect block type");
static_assert(offsetof(BTCONNECTREQUEST, wCID) == 38, "connect block CID");
static_assert(offsetof(BTCONNECTREQUEST, Output) == 40, "connect block output area");
static_assert(offsetof(BTCONNECTREQUEST, dwOutputKind) == 72, "connect block output kind");
static_assert(offsetof(BTCONNECTREQUEST, lStatus) == 76, "connect block status");
static_assert(offsetof(BTCONNECTREQUEST, hWnd) == 80, "connect block window");
static_assert(offsetof(BTCONNECTREQUEST, uMsg) == 84, "connect block message");
static_assert(offsetof(BTCONNECTREQUEST, dwParamHandle) == 88, "connect block handle");
static_assert(offsetof(BTCONNECTREQUEST, dwConnectError) == 104, "connect block error flag");
static_assert(sizeof(HWND) == sizeof(uint32_t), "window handles are 32-bit ids");
static_assert(sizeof(LPARAM) == sizeof(intptr_t), "notification parameter is full width");

// ---- Entry points ----------------------------------------------------------
// Each has a function-pointer type PFN_<name> for the run-time lookup, and
// the name under which the library exports it.

extern "C" {

// Session. appName identifies the caller in the stack's own log.
int32_t BtOpenAPI(uint32_t hWnd, const char* appName, int32_t* status);
int32_t BtCloseAPI(void);

// Inquiry. Stores a new list (BtMemFree) into *ppList before posting END:
// the devices found, count 0 when none; leaves *ppList as it was when the
// inquiry ended by ERROR or was cancelled before finding anything.
// Notifications: WM msg uMsg, lParam as given. Fails with BUSY while an
// inquiry of any session runs.
int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t dwFlags, int32_t* status, uint32_t hWnd,
                                uint32_t uMsg, intptr_t lParam);
// Ends the running inquiry: it posts END (with the list of the devices found
// so far). Fails with NOT_RUNNING when no inquiry runs.
int32_t BtCancelDiscoverRemoteDevice(int32_t* status);

// Name request. Writes the name (at most TOSBT_MAX_NAME_LENGTH bytes and a
// terminator) into pszName, which has TOSBT_NAME_BUFFER_SIZE bytes, before
// posting FOUND; an empty name when the device has none.
int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                             intptr_t lParam);

// Known devices. dwFlags TOSBT_REMOTE_LIST_PAIRED: the paired ones. The list
// has no count of its own: *pdwCount entries of BTDEVINFO (BtMemFree), a null
// list with count 0 when there are none.
int32_t BtGetRemoteDeviceList2(uint32_t dwFlags, uint32_t dwReserved1, uint32_t dwReserved2, uint32_t* pdwCount,
                               BTDEVINFO** ppList, int32_t* status);
// Forgets the link keys of the listed devices (they are then no longer
// paired). Fails with NOT_PAIRED when one of them has none.
int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status);

// Established links and their channels (lists to BtMemFree; count 0 when none).
int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status);
int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status);

// Pairing settings for one device, read by the next connect to it. pBdAddr
// may point at a BTCONNECTREQUEST (its address comes first). PIN: dwLength
// bytes (at most TOSBT_MAX_PIN_LENGTH), not terminated.
int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status);
int32_t BtClearAutoReplyPinCode(const uint8_t* pBdAddr, int32_t* status);
int32_t BtSetIOCapabilityResponse(const uint8_t* pBdAddr, uint32_t dwIOCapability, uint32_t dwOOBData,
                                  uint32_t dwAuthRequirements, int32_t* status);
// Exported under the name TOSBT_CLEAR_IO_CAPABILITY_NAME (leading underscore);
// the service skips it when a stack lacks it.
int32_t TosBtClearIOCapabilityResponse(const uint8_t* pBdAddr, int32_t* status)
    __asm__("_BtClearIOCapabilityResponse");

// Connects to pBdAddr, pairing first when the device has no link key (with
// the PIN and IO capability set above). The service passes, in order: the
// block, TOSBT_CONNECT_ACL, 0, &block->wCID, block->Output,
// TOSBT_CONNECT_OUTPUT_KIND, &block->lStatus, window, WM_BT_CONNECT, the
// block as lParam, 0, 0, 0. On success the stack writes *pwCID (the channel
// now open, also in BtGetCIDList2) and posts START, CONNECTED, END; on
// failure START, ERROR, END with *plStatus holding the reason.
int32_t BtConnect(const uint8_t* pBdAddr, uint32_t dwConnectType, uint32_t dwOptions, uint16_t* pwCID,
                  uint8_t* pOutput, uint32_t dwOutputKind, int32_t* plStatus, uint32_t hWnd, uint32_t uMsg,
                  intptr_t lParam, uint32_t dwReserved1, uint32_t dwReserved2, uint32_t dwReserved3);
// Closes one channel; the link goes with its last channel. NOT_CONNECTED
// for an unknown CID.
int32_t BtDisconnect(uint16_t wCID, int32_t* status);

// Releases a list the stack handed over. Null does nothing.
void BtMemFree(void* p);

}  // extern "C"

#define TOSBT_LIBRARY_NAME "libTosBtApi.so"
#define TOSBT_CLEAR_IO_CAPABILITY_NAME "_BtClearIOCapabilityResponse"

typedef decltype(&BtOpenAPI) PFN_BtOpenAPI;
typedef decltype(&BtCloseAPI) PFN_BtCloseAPI;
typedef decltype(&BtDiscoverRemoteDevice2) PFN_BtDiscoverRemoteDevice2;
typedef decltype(&BtCancelDiscoverRemoteDevice) PFN_BtCancelDiscoverRemoteDevice;
typedef decltype(&BtDiscoverRemoteName) PFN_BtDiscoverRemoteName;
typedef decltype(&BtGetRemoteDeviceList2) PFN_BtGetRemoteDeviceList2;
typedef decltype(&BtDeleteLinkKey) PFN_BtDeleteLinkKey;
typedef decltype(&BtGetConnectedDeviceList2) PFN_BtGetConnectedDeviceList2;
typedef decltype(&BtGetCIDList2) PFN_BtGetCIDList2;
typedef decltype(&BtSetAutoReplyPinCode) PFN_BtSetAutoReplyPinCode;
typedef decltype(&BtClearAutoReplyPinCode) PFN_BtClearAutoReplyPinCode;
typedef decltype(&BtSetIOCapabilityResponse) PFN_BtSetIOCapabilityResponse;
typedef decltype(&TosBtClearIOCapabilityResponse) PFN_BtClearIOCapabilityResponse;
typedef decltype(&BtConnect) PFN_BtConnect;
typedef decltype(&BtDisconnect) PFN_BtDisconnect;
typedef decltype(&BtMemFree) PFN_BtMemFree;
