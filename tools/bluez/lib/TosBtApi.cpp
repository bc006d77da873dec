// The entry points of libTosBtApi.so over BlueZ. Each checks its arguments,
// hands the request to CBluezStack and writes the status word. Only the
// asynchronous requests (inquiry, name, connect) need a session on the
// calling thread, since their notifications belong to it; the others answer
// any thread.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BluezStack.h"

namespace {

CBluezStack& Stack() { return CBluezStack::Instance(); }

int32_t Done(int32_t* status, int32_t result) {
  if (status) *status = result;
  return result == TOSBT_STATUS_OK ? 1 : 0;
}

std::string Text(const uint8_t* a) {
  char t[18];
  snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return t;
}

void Bytes(const std::string& text, uint8_t* out) {
  for (size_t i = 0; i < 6 && i * 3 + 2 <= text.size(); ++i)
    out[i] = static_cast<uint8_t>(strtoul(text.substr(i * 3, 2).c_str(), nullptr, 16));
}

// A stack list for BtMemFree: the entries, after their 32-bit count when
// counted. Null when there is no memory.
template <typename Entry>
void* MakeList(const std::vector<Entry>& entries, bool counted) {
  const size_t head = counted ? sizeof(uint32_t) : 0;
  auto* block = static_cast<uint8_t*>(calloc(1, head + entries.size() * sizeof(Entry)));
  if (!block) return nullptr;
  const uint32_t count = static_cast<uint32_t>(entries.size());
  if (counted) memcpy(block, &count, sizeof count);
  if (!entries.empty()) memcpy(block + head, entries.data(), entries.size() * sizeof(Entry));
  return block;
}

}  // namespace

extern "C" {

int32_t BtOpenAPI(uint32_t hWnd, const char*, int32_t* status) { return Done(status, Stack().Open(hWnd)); }

int32_t BtCloseAPI(void) { return Stack().Close() ? 1 : 0; }

int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                                intptr_t lParam) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().Discover(ppList, hWnd, uMsg, lParam));
}

int32_t BtCancelDiscoverRemoteDevice(int32_t* status) { return Done(status, Stack().CancelDiscover()); }

int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                             intptr_t lParam) {
  if (!pBdAddr || !pszName) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().Name(Text(pBdAddr), pszName, hWnd, uMsg, lParam));
}

int32_t BtGetRemoteDeviceList2(uint32_t dwFlags, uint32_t, uint32_t, uint32_t* pdwCount, BTDEVINFO** ppList,
                               int32_t* status) {
  if (!pdwCount || !ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  std::vector<bluez::CDevice> devices;
  const int32_t result = Stack().Devices((dwFlags & TOSBT_REMOTE_LIST_PAIRED) != 0, devices);
  if (result != TOSBT_STATUS_OK) return Done(status, result);
  std::vector<BTDEVINFO> entries(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    BTDEVINFO& e = entries[i];
    memset(&e, 0, sizeof e);
    e.dwFlags = (devices[i].paired ? uint32_t(TOSBT_DEV_PAIRED) : 0u) |
                (devices[i].connected ? uint32_t(TOSBT_DEV_CONNECTED) : 0u);
    Bytes(devices[i].address, e.BdAddr);
    memcpy(e.FriendlyName, devices[i].name.data(), std::min(devices[i].name.size(), sizeof e.FriendlyName));
  }
  *pdwCount = static_cast<uint32_t>(entries.size());
  *ppList = entries.empty() ? nullptr : static_cast<BTDEVINFO*>(MakeList(entries, false));
  if (!entries.empty() && !*ppList) *pdwCount = 0;
  return Done(status, entries.empty() || *ppList ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_MEMORY);
}

int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) {
  if (!pList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  std::vector<std::string> addresses;
  for (uint32_t i = 0; i < pList->dwNum && i < 256; ++i) addresses.push_back(Text(pList->BdAddr[i]));
  return Done(status, Stack().DeleteLinkKeys(addresses));
}

int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  std::vector<CBluezStack::CLink> links;
  const int32_t result = Stack().Links(links);
  if (result != TOSBT_STATUS_OK) return Done(status, result);
  std::vector<BTCONNECTEDDEVINFO> entries(links.size());
  for (size_t i = 0; i < links.size(); ++i) {
    memset(&entries[i], 0, sizeof entries[i]);
    Bytes(links[i].address, entries[i].BdAddr);
    entries[i].wConnectionHandle = links[i].handle;
  }
  *ppList = static_cast<BTCONNECTEDDEVLIST*>(MakeList(entries, true));
  return Done(status, *ppList ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_MEMORY);
}

int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  std::vector<CBluezStack::CLink> links;
  const int32_t result = Stack().Links(links);
  if (result != TOSBT_STATUS_OK) return Done(status, result);
  std::vector<BTCIDINFO> entries;
  for (const CBluezStack::CLink& l : links) entries.push_back({l.cid, l.handle});
  *ppList = static_cast<BTCIDLIST*>(MakeList(entries, true));
  return Done(status, *ppList ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_MEMORY);
}

int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status) {
  if (!pBdAddr || !pszPin || dwLength == 0 || dwLength > TOSBT_MAX_PIN_LENGTH)
    return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().SetPin(Text(pBdAddr), std::string(pszPin, dwLength)));
}

int32_t BtClearAutoReplyPinCode(const uint8_t* pBdAddr, int32_t* status) {
  if (!pBdAddr) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().SetPin(Text(pBdAddr), ""));
}

// The IO capability is the agent's for the next pairing with the device;
// out-of-band data and authentication requirements are BlueZ's own choice.
int32_t BtSetIOCapabilityResponse(const uint8_t* pBdAddr, uint32_t dwIOCapability, uint32_t, uint32_t,
                                  int32_t* status) {
  if (!pBdAddr || dwIOCapability > 4) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().SetIoCapability(Text(pBdAddr), static_cast<int32_t>(dwIOCapability)));
}

int32_t TosBtClearIOCapabilityResponse(const uint8_t* pBdAddr, int32_t* status) {
  if (!pBdAddr) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Done(status, Stack().SetIoCapability(Text(pBdAddr), -1));
}

// The status word is written here only when the request was refused: once
// it runs, it belongs to the request's notifications.
int32_t BtConnect(const uint8_t* pBdAddr, uint32_t, uint32_t, uint16_t* pwCID, uint8_t*, uint32_t, int32_t* plStatus,
                  uint32_t hWnd, uint32_t uMsg, intptr_t lParam, uint32_t, uint32_t, uint32_t) {
  if (!pBdAddr || !pwCID || !plStatus) return Done(plStatus, TOSBT_STATUS_INVALID_PARAMETER);
  const int32_t result = Stack().Connect(Text(pBdAddr), pwCID, plStatus, hWnd, uMsg, lParam);
  return result == TOSBT_STATUS_OK ? 1 : Done(plStatus, result);
}

int32_t BtDisconnect(uint16_t wCID, int32_t* status) { return Done(status, Stack().Disconnect(wCID)); }

void BtMemFree(void* p) { free(p); }

}  // extern "C"
