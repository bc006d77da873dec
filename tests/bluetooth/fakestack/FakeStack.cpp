// A scripted Bluetooth stack, built as libTosBtApi.so for the tests alone.
// Its behaviour comes from a scenario text "key=value;..." (FakeBtSetScenario,
// or $FAKE_BT_SCENARIO when the library is loaded):
//   devices=ADDR/NAME,...   in range, in discovery order (a NAME may be empty)
//   paired=ADDR,...         devices with a link key
//   connected=ADDR/HANDLE,...  cids=CID/HANDLE,... or cids=null (no list)
//   discover=end|error|never|fail  name=found|error|fail  open=ok|fail
//   connect=ok|error|fail|block    deletekey=ok|fail  disconnect=ok|fail
// Notifications are posted from the calling thread before the call returns.
// Every call is recorded; FakeBtCalls returns them one a line, FakeBtWaitFor
// waits for one, FakeBtRelease ends a blocked connect.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bluetooth/TosBtApi.h"

namespace {

std::mutex g_Lock;
std::condition_variable g_Released;
std::condition_variable g_Called;
std::map<std::string, std::string> g_Scenario;  // Guarded by g_Lock.
std::string g_Calls;                            // Guarded by g_Lock.
bool g_Release = false;                         // Guarded by g_Lock.
// The discovery left running (discover=never). Guarded by g_Lock.
uint32_t g_DiscoveryWindow = 0;
intptr_t g_DiscoveryParam = 0;

std::string Get(const std::string& key, const char* otherwise = "ok") {
  auto it = g_Scenario.find(key);
  return it == g_Scenario.end() ? otherwise : it->second;
}

// "A/B,C/D" -> {{A,B},{C,D}}; an item without '/' has an empty second part.
std::vector<std::pair<std::string, std::string>> Items(const std::string& key) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(Get(key, ""));
  for (std::string item; std::getline(in, item, ',');) {
    size_t slash = item.find('/');
    out.emplace_back(item.substr(0, slash), slash == std::string::npos ? "" : item.substr(slash + 1));
  }
  return out;
}

std::string Text(const uint8_t* a) {
  char t[18];
  snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return t;
}

void Parse(const std::string& address, uint8_t* out) {
  for (int i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(strtoul(address.substr(i * 3, 2).c_str(), nullptr, 16));
}

int32_t Result(const std::string& call, bool ok, int32_t* status, int32_t error = TOSBT_STATUS_NO_DEVICE) {
  g_Calls += call + "\n";
  g_Called.notify_all();
  if (status) *status = ok ? TOSBT_STATUS_OK : error;
  return ok ? 1 : 0;
}

template <typename List, typename Entry, typename Fill>
List* MakeList(size_t count, Fill fill) {
  auto* list = static_cast<List*>(calloc(1, 4 + count * sizeof(Entry)));
  *reinterpret_cast<uint32_t*>(list) = static_cast<uint32_t>(count);
  for (size_t i = 0; i < count; ++i) fill(reinterpret_cast<Entry*>(reinterpret_cast<char*>(list) + 4) + i, i);
  return list;
}

}  // namespace

extern "C" {

void FakeBtSetScenario(const char* text) {
  std::lock_guard<std::mutex> g(g_Lock);
  g_Scenario.clear();
  g_Calls.clear();
  g_Release = false;
  g_DiscoveryWindow = 0;
  std::istringstream in(text);
  for (std::string pair; std::getline(in, pair, ';');)
    if (pair.find('=') != std::string::npos) g_Scenario[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
}

size_t FakeBtCalls(char* buffer, size_t size) {
  std::lock_guard<std::mutex> g(g_Lock);
  snprintf(buffer, size, "%s", g_Calls.c_str());
  return g_Calls.size();
}

// Waits until a call whose line starts with prefix was made.
void FakeBtWaitFor(const char* prefix) {
  std::unique_lock<std::mutex> g(g_Lock);
  g_Called.wait(g, [&] { return ("\n" + g_Calls).find("\n" + std::string(prefix)) != std::string::npos; });
}

void FakeBtRelease() {
  std::lock_guard<std::mutex> g(g_Lock);
  g_Release = true;
  g_Released.notify_all();
}

int32_t BtOpenAPI(uint32_t, const char*, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtOpenAPI", Get("open") == "ok", status, TOSBT_STATUS_NO_RADIO);
}

int32_t BtCloseAPI(void) {
  std::lock_guard<std::mutex> g(g_Lock);
  g_DiscoveryWindow = 0;  // the session's requests end without a word
  return Result("BtCloseAPI", true, nullptr);
}

int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                                intptr_t lParam) {
  std::lock_guard<std::mutex> g(g_Lock);
  const std::string how = Get("discover", "end");
  if (!Result("BtDiscoverRemoteDevice2", how != "fail", status, TOSBT_STATUS_BUSY)) return 0;
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERDEVICE_START, lParam);
  if (how == "never") {
    g_DiscoveryWindow = hWnd;
    g_DiscoveryParam = lParam;
    return 1;
  }
  auto devices = Items("devices");
  for (size_t i = 0; i < devices.size(); ++i) PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERDEVICE_FOUND, lParam);
  *ppList = MakeList<BTDEVINFOLIST, BTDEVINFO>(devices.size(), [&](BTDEVINFO* e, size_t i) {
    Parse(devices[i].first, e->BdAddr);
    snprintf(e->FriendlyName, sizeof e->FriendlyName, "%s", devices[i].second.c_str());
  });
  if (how == "error") PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERDEVICE_ERROR, lParam);
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERDEVICE_END, lParam);
  return 1;
}

int32_t BtCancelDiscoverRemoteDevice(int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  if (!Result("BtCancelDiscoverRemoteDevice", g_DiscoveryWindow != 0, status, TOSBT_STATUS_NOT_RUNNING)) return 0;
  PostMessage(g_DiscoveryWindow, WM_DISCOVER_REMOTE_DEVICE2, TOSBTAPI_NM_DISCOVERDEVICE_END, g_DiscoveryParam);
  g_DiscoveryWindow = 0;
  return 1;
}

int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                             intptr_t lParam) {
  std::lock_guard<std::mutex> g(g_Lock);
  const std::string how = Get("name", "found");
  if (!Result("BtDiscoverRemoteName " + Text(pBdAddr), how != "fail", status)) return 0;
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERNAME_START, lParam);
  for (const auto& d : Items("devices"))
    if (how == "found" && d.first == Text(pBdAddr)) {
      snprintf(pszName, TOSBT_NAME_BUFFER_SIZE, "%s", d.second.c_str());
      PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERNAME_FOUND, lParam);
    }
  if (how == "error") PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERNAME_ERROR, lParam);
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_DISCOVERNAME_END, lParam);
  return 1;
}

int32_t BtGetRemoteDeviceList2(uint32_t, uint32_t, uint32_t, uint32_t* pdwCount, BTDEVINFO** ppList,
                               int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  auto paired = Items("paired");
  *pdwCount = static_cast<uint32_t>(paired.size());
  *ppList = static_cast<BTDEVINFO*>(calloc(paired.size() + 1, sizeof(BTDEVINFO)));
  for (size_t i = 0; i < paired.size(); ++i) Parse(paired[i].first, (*ppList)[i].BdAddr);
  return Result("BtGetRemoteDeviceList2", true, status);
}

int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtDeleteLinkKey " + Text(pList->BdAddr[0]), Get("deletekey") == "ok", status,
                TOSBT_STATUS_NOT_PAIRED);
}

int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  auto links = Items("connected");
  *ppList = MakeList<BTCONNECTEDDEVLIST, BTCONNECTEDDEVINFO>(links.size(), [&](BTCONNECTEDDEVINFO* e, size_t i) {
    Parse(links[i].first, e->BdAddr);
    e->wConnectionHandle = static_cast<uint16_t>(std::stoul(links[i].second));
  });
  return Result("BtGetConnectedDeviceList2", true, status);
}

int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  auto cids = Items("cids");
  *ppList = Get("cids") == "null" ? nullptr : MakeList<BTCIDLIST, BTCIDINFO>(cids.size(), [&](BTCIDINFO* e, size_t i) {
    e->wCID = static_cast<uint16_t>(std::stoul(cids[i].first));
    e->wConnectionHandle = static_cast<uint16_t>(std::stoul(cids[i].second));
  });
  return Result("BtGetCIDList2", true, status);
}

int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtSetAutoReplyPinCode " + Text(pBdAddr) + " " + std::string(pszPin, dwLength), true, status);
}

int32_t BtClearAutoReplyPinCode(const uint8_t*, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtClearAutoReplyPinCode", true, status);
}

int32_t BtSetIOCapabilityResponse(const uint8_t*, uint32_t io, uint32_t oob, uint32_t auth, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtSetIOCapabilityResponse " + std::to_string(io) + " " + std::to_string(oob) + " " +
                    std::to_string(auth),
                true, status);
}

int32_t TosBtClearIOCapabilityResponse(const uint8_t*, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("_BtClearIOCapabilityResponse", true, status);
}

int32_t BtConnect(const uint8_t* pBdAddr, uint32_t, uint32_t, uint16_t* pwCID, uint8_t*, uint32_t,
                  int32_t* plStatus, uint32_t hWnd, uint32_t uMsg, intptr_t lParam, uint32_t, uint32_t, uint32_t) {
  std::unique_lock<std::mutex> g(g_Lock);
  const std::string how = Get("connect");
  if (how == "block") g_Released.wait(g, [] { return g_Release; });
  if (!Result("BtConnect " + Text(pBdAddr), how == "ok" || how == "error", plStatus)) return 0;
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_CONNECT_START, lParam);
  if (how == "ok") {
    *pwCID = 0x41;
    PostMessage(hWnd, uMsg, TOSBTAPI_NM_CONNECT_CONNECTED, lParam);
  } else {
    *plStatus = TOSBT_STATUS_AUTH_FAILED;
    PostMessage(hWnd, uMsg, TOSBTAPI_NM_CONNECT_ERROR, lParam);
  }
  PostMessage(hWnd, uMsg, TOSBTAPI_NM_CONNECT_END, lParam);
  return 1;
}

int32_t BtDisconnect(uint16_t wCID, int32_t* status) {
  std::lock_guard<std::mutex> g(g_Lock);
  return Result("BtDisconnect " + std::to_string(wCID), Get("disconnect") == "ok", status,
                TOSBT_STATUS_NOT_CONNECTED);
}

void BtMemFree(void* p) { free(p); }

}  // extern "C"

namespace {
// After the globals above in this file, so initialised after them.
const bool g_FromEnvironment = [] {
  if (const char* text = getenv("FAKE_BT_SCENARIO")) FakeBtSetScenario(text);
  return true;
}();
}  // namespace
