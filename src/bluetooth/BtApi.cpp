#include "bluetooth/BtApi.h"

CBtApi::CBtApi(const char* library) : m_hModule(LoadLibrary(library)) {}

CBtApi::~CBtApi() {
  if (m_hModule) FreeLibrary(m_hModule);
}

template <typename Fn, typename... Args>
int32_t CBtApi::Call(const char* name, Args... args) const {
  auto fn = reinterpret_cast<Fn>(GetProcAddress(m_hModule, name));
  return fn ? fn(args...) : 0;
}

int32_t CBtApi::BtOpenAPI(HWND hWnd, const char* appName, int32_t* status) const {
  return Call<PFN_BtOpenAPI>("BtOpenAPI", hWnd, appName, status);
}
int32_t CBtApi::BtCloseAPI() const { return Call<PFN_BtCloseAPI>("BtCloseAPI"); }
int32_t CBtApi::BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t dwFlags, int32_t* status, HWND hWnd,
                                        UINT uMsg, LPARAM lParam) const {
  return Call<PFN_BtDiscoverRemoteDevice2>("BtDiscoverRemoteDevice2", ppList, dwFlags, status, hWnd, uMsg, lParam);
}
int32_t CBtApi::BtCancelDiscoverRemoteDevice(int32_t* status) const {
  return Call<PFN_BtCancelDiscoverRemoteDevice>("BtCancelDiscoverRemoteDevice", status);
}
int32_t CBtApi::BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, HWND hWnd, UINT uMsg,
                                     LPARAM lParam) const {
  return Call<PFN_BtDiscoverRemoteName>("BtDiscoverRemoteName", pBdAddr, pszName, status, hWnd, uMsg, lParam);
}
int32_t CBtApi::BtGetRemoteDeviceList2(uint32_t dwFlags, uint32_t dwReserved1, uint32_t dwReserved2,
                                       uint32_t* pdwCount, BTDEVINFO** ppList, int32_t* status) const {
  return Call<PFN_BtGetRemoteDeviceList2>("BtGetRemoteDeviceList2", dwFlags, dwReserved1, dwReserved2, pdwCount,
                                          ppList, status);
}
int32_t CBtApi::BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) const {
  return Call<PFN_BtDeleteLinkKey>("BtDeleteLinkKey", pList, status);
}
int32_t CBtApi::BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) const {
  return Call<PFN_BtGetConnectedDeviceList2>("BtGetConnectedDeviceList2", ppList, status);
}
int32_t CBtApi::BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) const {
  return Call<PFN_BtGetCIDList2>("BtGetCIDList2", ppList, status);
}
int32_t CBtApi::BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength,
                                      int32_t* status) const {
  return Call<PFN_BtSetAutoReplyPinCode>("BtSetAutoReplyPinCode", pBdAddr, pszPin, dwLength, status);
}
int32_t CBtApi::BtClearAutoReplyPinCode(const uint8_t* pBdAddr, int32_t* status) const {
  return Call<PFN_BtClearAutoReplyPinCode>("BtClearAutoReplyPinCode", pBdAddr, status);
}
int32_t CBtApi::BtSetIOCapabilityResponse(const uint8_t* pBdAddr, uint32_t dwIOCapability, uint32_t dwOOBData,
                                          uint32_t dwAuthRequirements, int32_t* status) const {
  return Call<PFN_BtSetIOCapabilityResponse>("BtSetIOCapabilityResponse", pBdAddr, dwIOCapability, dwOOBData,
                                             dwAuthRequirements, status);
}
int32_t CBtApi::BtClearIOCapabilityResponse(const uint8_t* pBdAddr, int32_t* status) const {
  return Call<PFN_BtClearIOCapabilityResponse>(TOSBT_CLEAR_IO_CAPABILITY_NAME, pBdAddr, status);
}
int32_t CBtApi::BtConnect(const uint8_t* pBdAddr, uint32_t dwConnectType, uint32_t dwOptions, uint16_t* pwCID,
                          uint8_t* pOutput, uint32_t dwOutputKind, int32_t* plStatus, HWND hWnd, UINT uMsg,
                          LPARAM lParam, uint32_t dwReserved1, uint32_t dwReserved2, uint32_t dwReserved3) const {
  return Call<PFN_BtConnect>("BtConnect", pBdAddr, dwConnectType, dwOptions, pwCID, pOutput, dwOutputKind, plStatus,
                             hWnd, uMsg, lParam, dwReserved1, dwReserved2, dwReserved3);
}
int32_t CBtApi::BtDisconnect(uint16_t wCID, int32_t* status) const {
  return Call<PFN_BtDisconnect>("BtDisconnect", wCID, status);
}
void CBtApi::BtMemFree(void* p) const {
  auto fn = reinterpret_cast<PFN_BtMemFree>(GetProcAddress(m_hModule, "BtMemFree"));
  if (fn) fn(p);
}
