// The entry points of the simulated stack's libTosBtApi.so. Each checks its
// arguments, asks the simulator through CStackClient and writes the status
// word. Only the asynchronous requests (inquiry, name, connect) need a
// session on the calling thread, since their notifications belong to it;
// the others answer any thread, as the service cancels an inquiry from a
// thread other than the one that started it.
#include <cstdlib>
#include <cstring>

#include "BtSimWire.h"
#include "StackClient.h"
#include "StackLists.h"

namespace {

int32_t Done(int32_t* status, int32_t result) {
  if (status) *status = result;
  return result == TOSBT_STATUS_OK ? 1 : 0;
}

int32_t Ask(int32_t* status, nlohmann::json request, nlohmann::json& answer) {
  return Done(status, CStackClient::Instance().Call(std::move(request), answer));
}

int32_t Ask(int32_t* status, nlohmann::json request) {
  nlohmann::json answer;
  return Ask(status, std::move(request), answer);
}

// An asynchronous request. The status word is written here only when it
// failed: once it runs, a connect's status belongs to its notifications,
// which the reader thread may already be writing.
int32_t Start(int32_t* status, nlohmann::json request, const CStackClient::CPending& pending) {
  nlohmann::json answer;
  const int32_t result = CStackClient::Instance().Call(std::move(request), answer, &pending);
  if (result != TOSBT_STATUS_OK || status != pending.plStatus) return Done(status, result);
  return 1;
}

CStackClient::CPending Pending(HWND hWnd, UINT uMsg, intptr_t lParam, uint32_t errorCode, uint32_t endCode) {
  return {hWnd, uMsg, lParam, errorCode, endCode, nullptr, nullptr, nullptr, nullptr, 0};
}

}  // namespace

extern "C" {

int32_t BtOpenAPI(uint32_t hWnd, const char*, int32_t* status) {
  return Done(status, CStackClient::Instance().Open(hWnd));
}

int32_t BtCloseAPI(void) { return CStackClient::Instance().Close() ? 1 : 0; }

int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                                intptr_t lParam) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  CStackClient::CPending p =
      Pending(hWnd, uMsg, lParam, TOSBTAPI_NM_DISCOVERDEVICE_ERROR, TOSBTAPI_NM_DISCOVERDEVICE_END);
  p.ppList = ppList;
  return Start(status, {{"op", "discover"}}, p);
}

int32_t BtCancelDiscoverRemoteDevice(int32_t* status) { return Ask(status, {{"op", "cancel-discover"}}); }

int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, uint32_t hWnd, uint32_t uMsg,
                             intptr_t lParam) {
  if (!pBdAddr || !pszName) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  CStackClient::CPending p = Pending(hWnd, uMsg, lParam, TOSBTAPI_NM_DISCOVERNAME_ERROR, TOSBTAPI_NM_DISCOVERNAME_END);
  p.pszName = pszName;
  return Start(status, {{"op", "name"}, {"address", btsim::AddressText(pBdAddr)}}, p);
}

int32_t BtGetRemoteDeviceList2(uint32_t, uint32_t, uint32_t, uint32_t* pdwCount, BTDEVINFO** ppList,
                               int32_t* status) {
  if (!pdwCount || !ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  nlohmann::json answer;
  if (!Ask(status, {{"op", "remote-list"}}, answer)) return 0;
  const nlohmann::json& devices = answer["devices"];
  *pdwCount = static_cast<uint32_t>(devices.size());
  *ppList = devices.empty() ? nullptr : static_cast<BTDEVINFO*>(MakeStackList<BTDEVINFO>(devices, false, FillDeviceEntry));
  return 1;
}

int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) {
  if (!pList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  nlohmann::json addresses = nlohmann::json::array();
  for (uint32_t i = 0; i < pList->dwNum; ++i) addresses.push_back(btsim::AddressText(pList->BdAddr[i]));
  return Ask(status, {{"op", "delete-keys"}, {"addresses", addresses}});
}

int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  nlohmann::json answer;
  if (!Ask(status, {{"op", "connected-list"}}, answer)) return 0;
  *ppList = static_cast<BTCONNECTEDDEVLIST*>(
      MakeStackList<BTCONNECTEDDEVINFO>(answer["links"], true, [](BTCONNECTEDDEVINFO& e, const nlohmann::json& l) {
        btsim::ParseAddress(l.value("address", ""), e.BdAddr);
        e.wConnectionHandle = l.value("handle", uint16_t(0));
      }));
  return *ppList ? 1 : Done(status, TOSBT_STATUS_NO_MEMORY);
}

int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) {
  if (!ppList) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  nlohmann::json answer;
  if (!Ask(status, {{"op", "cid-list"}}, answer)) return 0;
  *ppList = static_cast<BTCIDLIST*>(MakeStackList<BTCIDINFO>(answer["channels"], true, [](BTCIDINFO& e, const nlohmann::json& c) {
    e.wCID = c.value("cid", uint16_t(0));
    e.wConnectionHandle = c.value("handle", uint16_t(0));
  }));
  return *ppList ? 1 : Done(status, TOSBT_STATUS_NO_MEMORY);
}

int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status) {
  if (!pBdAddr || !pszPin || dwLength == 0 || dwLength > TOSBT_MAX_PIN_LENGTH)
    return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Ask(status, {{"op", "pin"}, {"address", btsim::AddressText(pBdAddr)}, {"pin", std::string(pszPin, dwLength)}});
}

int32_t BtClearAutoReplyPinCode(const uint8_t* pBdAddr, int32_t* status) {
  if (!pBdAddr) return Done(status, TOSBT_STATUS_INVALID_PARAMETER);
  return Ask(status, {{"op", "pin"}, {"address", btsim::AddressText(pBdAddr)}, {"pin", ""}});
}

// The simulated devices pair with a PIN whatever the IO capabilities.
int32_t BtSetIOCapabilityResponse(const uint8_t* pBdAddr, uint32_t, uint32_t, uint32_t, int32_t* status) {
  return Done(status, pBdAddr ? TOSBT_STATUS_OK : TOSBT_STATUS_INVALID_PARAMETER);
}

int32_t TosBtClearIOCapabilityResponse(const uint8_t* pBdAddr, int32_t* status) {
  return Done(status, pBdAddr ? TOSBT_STATUS_OK : TOSBT_STATUS_INVALID_PARAMETER);
}

int32_t BtConnect(const uint8_t* pBdAddr, uint32_t, uint32_t, uint16_t* pwCID, uint8_t*, uint32_t, int32_t* plStatus,
                  uint32_t hWnd, uint32_t uMsg, intptr_t lParam, uint32_t, uint32_t, uint32_t) {
  if (!pBdAddr || !pwCID || !plStatus) return Done(plStatus, TOSBT_STATUS_INVALID_PARAMETER);
  CStackClient::CPending p = Pending(hWnd, uMsg, lParam, TOSBTAPI_NM_CONNECT_ERROR, TOSBTAPI_NM_CONNECT_END);
  p.pwCID = pwCID;
  p.plStatus = plStatus;
  return Start(plStatus, {{"op", "connect"}, {"address", btsim::AddressText(pBdAddr)}}, p);
}

int32_t BtDisconnect(uint16_t wCID, int32_t* status) { return Ask(status, {{"op", "disconnect"}, {"cid", wCID}}); }

void BtMemFree(void* p) { free(p); }

}  // extern "C"
