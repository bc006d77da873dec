// A scripted Bluetooth stack, built as libTosBtApi.so for the tests alone.
// Two devices are in range: 00:11:22:33:44:55 named "VCI-1" and
// 0a:0b:0c:0d:0e:0f without a name. The scenario (FakeBtSetScenario) is a
// list of words that change the stack's behaviour:
//   open-fail  discover-fail|discover-error|discover-never  name-fail|name-error|
//   name-hang (the first name request never ends)
//   paired|other-paired (has a link key)  deletekey-fail
//   connect-fail|connect-error|connect-block (until FakeBtRelease)
//   link|other-link (connected, handle 7)  cid (65 on 7)|wrong-cid (65 on 8)|
//   two-cids (65 and 66 on 7)|no-cid-list  disconnect-fail
// "_BtClearIOCapabilityResponse" is missing, as a stack may lack it.
// Notifications are posted from the calling thread before the call returns.
// Every call is recorded: FakeBtCalls returns them one a line, FakeBtWaitFor
// waits for one.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bluetooth/TosBtApi.h"

namespace {

const uint8_t kDevices[2][6] = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}};
const char* const kNames[2] = {"VCI-1", ""};

std::mutex g_Lock;
std::condition_variable g_Changed;
std::string g_Scenario;          // Guarded by g_Lock; " word word ".
std::string g_Calls;             // Guarded by g_Lock.
bool g_Release = false;          // Guarded by g_Lock.
bool g_NameHung = false;         // Guarded by g_Lock.
uint32_t g_DiscoveryWindow = 0;  // Guarded by g_Lock; the discovery left running.
intptr_t g_DiscoveryParam = 0;   // Guarded by g_Lock.
#define LOCKED std::unique_lock<std::mutex> lock(g_Lock)

bool Has(const char* word) { return g_Scenario.find(" " + std::string(word) + " ") != std::string::npos; }

std::string Text(const uint8_t* a) {
  char t[18];
  snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return t;
}

int32_t Record(const std::string& call, bool ok, int32_t* status, int32_t error = TOSBT_STATUS_NO_DEVICE) {
  g_Calls += call + "\n";
  g_Changed.notify_all();
  if (status) *status = ok ? TOSBT_STATUS_OK : error;
  return ok;
}

void Post(uint32_t hWnd, uint32_t uMsg, intptr_t lParam, std::initializer_list<uint32_t> codes) {
  for (uint32_t code : codes) PostMessage(hWnd, uMsg, code, lParam);
}

// A stack list: the 32-bit count, then the entries.
template <typename List, typename Entry>
List* MakeList(const std::vector<Entry>& entries) {
  auto* list = static_cast<List*>(calloc(1, 4 + entries.size() * sizeof(Entry)));
  *reinterpret_cast<uint32_t*>(list) = static_cast<uint32_t>(entries.size());
  if (!entries.empty()) memcpy(reinterpret_cast<char*>(list) + 4, entries.data(), entries.size() * sizeof(Entry));
  return list;
}

}  // namespace

std::string FakeBtCalls() {
  LOCKED;
  return g_Calls;
}

extern "C" {

void FakeBtSetScenario(const char* words) {
  LOCKED;
  g_Scenario = " " + std::string(words) + " ";
  g_Calls.clear();
  g_Release = false;
  g_NameHung = false;
  g_DiscoveryWindow = 0;
}

void FakeBtWaitFor(const char* prefix) {
  LOCKED;
  g_Changed.wait(lock, [&] { return ("\n" + g_Calls).find("\n" + std::string(prefix)) != std::string::npos; });
}

void FakeBtRelease() {
  LOCKED;
  g_Release = true;
  g_Changed.notify_all();
}

int32_t BtOpenAPI(uint32_t, const char*, int32_t* status) {
  LOCKED;
  return Record("BtOpenAPI", !Has("open-fail"), status, TOSBT_STATUS_NO_RADIO);
}

int32_t BtCloseAPI(void) {
  LOCKED;
  g_DiscoveryWindow = 0;  // the session's requests end without a word
  return Record("BtCloseAPI", true, nullptr);
}

int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                                intptr_t lParam) {
  LOCKED;
  if (!Record("BtDiscoverRemoteDevice2", !Has("discover-fail"), status, TOSBT_STATUS_BUSY)) return 0;
  Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERDEVICE_START});
  if (Has("discover-never")) {
    g_DiscoveryWindow = hWnd;
    g_DiscoveryParam = lParam;
    return 1;
  }
  std::vector<BTDEVINFO> found(2);
  for (int i = 0; i < 2; ++i) memcpy(found[i].BdAddr, kDevices[i], 6);
  *ppList = MakeList<BTDEVINFOLIST>(found);
  Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERDEVICE_FOUND, TOSBTAPI_NM_DISCOVERDEVICE_FOUND});
  if (Has("discover-error")) Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERDEVICE_ERROR});
  Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERDEVICE_END});
  return 1;
}

int32_t BtCancelDiscoverRemoteDevice(int32_t* status) {
  LOCKED;
  if (!Record("BtCancelDiscoverRemoteDevice", g_DiscoveryWindow, status, TOSBT_STATUS_NOT_RUNNING)) return 0;
  Post(g_DiscoveryWindow, WM_DISCOVER_REMOTE_DEVICE2, g_DiscoveryParam, {TOSBTAPI_NM_DISCOVERDEVICE_END});
  g_DiscoveryWindow = 0;
  return 1;
}

int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                             intptr_t lParam) {
  LOCKED;
  if (!Record("BtDiscoverRemoteName " + Text(pBdAddr), !Has("name-fail"), status)) return 0;
  if (Has("name-hang") && !g_NameHung) {
    g_NameHung = true;
    Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERNAME_START});
    return 1;
  }
  const int i = memcmp(pBdAddr, kDevices[0], 6) == 0 ? 0 : 1;
  if (!Has("name-error")) snprintf(pszName, TOSBT_NAME_BUFFER_SIZE, "%s", kNames[i]);
  Post(hWnd, uMsg, lParam, {TOSBTAPI_NM_DISCOVERNAME_START,
                            Has("name-error") ? TOSBTAPI_NM_DISCOVERNAME_ERROR : TOSBTAPI_NM_DISCOVERNAME_FOUND,
                            TOSBTAPI_NM_DISCOVERNAME_END});
  return 1;
}

// This list has no count of its own: *pdwCount entries.
int32_t BtGetRemoteDeviceList2(uint32_t, uint32_t, uint32_t, uint32_t* pdwCount, BTDEVINFO** ppList,
                               int32_t* status) {
  LOCKED;
  *ppList = static_cast<BTDEVINFO*>(calloc(1, sizeof(BTDEVINFO)));
  *pdwCount = Has("paired") || Has("other-paired");
  memcpy((*ppList)->BdAddr, kDevices[Has("other-paired")], 6);
  return Record("BtGetRemoteDeviceList2", true, status);
}

int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) {
  LOCKED;
  return Record("BtDeleteLinkKey " + Text(pList->BdAddr[0]), !Has("deletekey-fail"), status, TOSBT_STATUS_NOT_PAIRED);
}

int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) {
  LOCKED;
  std::vector<BTCONNECTEDDEVINFO> links(Has("link") || Has("other-link"));
  for (auto& link : links) {
    memcpy(link.BdAddr, kDevices[Has("other-link")], 6);
    link.wConnectionHandle = 7;
  }
  *ppList = MakeList<BTCONNECTEDDEVLIST>(links);
  return Record("BtGetConnectedDeviceList2", true, status);
}

int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) {
  LOCKED;
  std::vector<BTCIDINFO> cids;
  if (Has("cid") || Has("two-cids")) cids.push_back({65, 7});
  if (Has("two-cids")) cids.push_back({66, 7});
  if (Has("wrong-cid")) cids.push_back({65, 8});
  *ppList = Has("no-cid-list") ? nullptr : MakeList<BTCIDLIST>(cids);
  return Record("BtGetCIDList2", true, status);
}

int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status) {
  LOCKED;
  return Record("BtSetAutoReplyPinCode " + Text(pBdAddr) + " " + std::string(pszPin, dwLength), true, status);
}

int32_t BtClearAutoReplyPinCode(const uint8_t*, int32_t* status) {
  LOCKED;
  return Record("BtClearAutoReplyPinCode", true, status);
}

int32_t BtSetIOCapabilityResponse(const uint8_t*, uint32_t io, uint32_t oob, uint32_t auth, int32_t* status) {
  LOCKED;
  return Record("BtSetIOCapabilityResponse " + std::to_string(io) + " " + std::to_string(oob) + " " +
                    std::to_string(auth), true, status);
}

int32_t BtConnect(const uint8_t* pBdAddr, uint32_t, uint32_t, uint16_t* pwCID, uint8_t*, uint32_t,
                  int32_t* plStatus, uint32_t hWnd, uint32_t uMsg, intptr_t lParam, uint32_t, uint32_t, uint32_t) {
  LOCKED;
  g_Changed.wait(lock, [] { return g_Release || !Has("connect-block"); });
  const bool error = Has("connect-error");
  if (!Record("BtConnect " + Text(pBdAddr), !Has("connect-fail") && !Has("connect-block"), plStatus)) return 0;
  *pwCID = 65;
  if (error) *plStatus = TOSBT_STATUS_AUTH_FAILED;
  Post(hWnd, uMsg, lParam,
       {TOSBTAPI_NM_CONNECT_START, error ? TOSBTAPI_NM_CONNECT_ERROR : TOSBTAPI_NM_CONNECT_CONNECTED,
        TOSBTAPI_NM_CONNECT_END});
  return 1;
}

int32_t BtDisconnect(uint16_t wCID, int32_t* status) {
  LOCKED;
  return Record("BtDisconnect " + std::to_string(wCID), !Has("disconnect-fail"), status, TOSBT_STATUS_NOT_CONNECTED);
}

void BtMemFree(void* p) { free(p); }

}  // extern "C"
