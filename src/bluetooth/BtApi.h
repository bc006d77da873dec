// CBtApi: the Bluetooth stack library bound at run time. One forwarding
// wrapper per entry point that the service calls, under the entry point's
// own name. Each looks its entry point up by name at every call and returns
// its result unchanged, or 0 when the library is not loaded or does not
// export it (BtMemFree then does nothing). Nonzero is success.
#pragma once

#include <cstdint>

#include "bluetooth/TosBtApi.h"
#include "platform/DynamicLibrary.h"

class CBtApi {
 public:
  // Loads the library, by default "libTosBtApi.so" through the loader's
  // search path ($LD_LIBRARY_PATH selects a stack).
  explicit CBtApi(const char* library = TOSBT_LIBRARY_NAME);
  virtual ~CBtApi();
  CBtApi(const CBtApi&) = delete;
  CBtApi& operator=(const CBtApi&) = delete;

  bool IsLoaded() const { return m_hModule != nullptr; }

  // Constant after construction, so any thread may call these.
  int32_t BtOpenAPI(HWND hWnd, const char* appName, int32_t* status) const;
  int32_t BtCloseAPI() const;
  int32_t BtDiscoverRemoteDevice2(BTDEVINFOLIST** ppList, uint32_t dwFlags, int32_t* status, HWND hWnd, UINT uMsg,
                                  LPARAM lParam) const;
  int32_t BtCancelDiscoverRemoteDevice(int32_t* status) const;
  int32_t BtDiscoverRemoteName(const uint8_t* pBdAddr, char* pszName, int32_t* status, HWND hWnd, UINT uMsg,
                               LPARAM lParam) const;
  int32_t BtGetRemoteDeviceList2(uint32_t dwFlags, uint32_t dwReserved1, uint32_t dwReserved2, uint32_t* pdwCount,
                                 BTDEVINFO** ppList, int32_t* status) const;
  int32_t BtDeleteLinkKey(const BTDEVADDRLIST* pList, int32_t* status) const;
  int32_t BtGetConnectedDeviceList2(BTCONNECTEDDEVLIST** ppList, int32_t* status) const;
  int32_t BtGetCIDList2(BTCIDLIST** ppList, int32_t* status) const;
  int32_t BtSetAutoReplyPinCode(const uint8_t* pBdAddr, const char* pszPin, uint32_t dwLength, int32_t* status) const;
  int32_t BtClearAutoReplyPinCode(const uint8_t* pBdAddr, int32_t* status) const;
  int32_t BtSetIOCapabilityResponse(const uint8_t* pBdAddr, uint32_t dwIOCapability, uint32_t dwOOBData,
                                    uint32_t dwAuthRequirements, int32_t* status) const;
  // The entry point exported as "_BtClearIOCapabilityResponse".
  int32_t BtClearIOCapabilityResponse(const uint8_t* pBdAddr, int32_t* status) const;
  int32_t BtConnect(const uint8_t* pBdAddr, uint32_t dwConnectType, uint32_t dwOptions, uint16_t* pwCID,
                    uint8_t* pOutput, uint32_t dwOutputKind, int32_t* plStatus, HWND hWnd, UINT uMsg, LPARAM lParam,
                    uint32_t dwReserved1, uint32_t dwReserved2, uint32_t dwReserved3) const;
  int32_t BtDisconnect(uint16_t wCID, int32_t* status) const;
  void BtMemFree(void* p) const;

 private:
  template <typename Fn, typename... Args>
  int32_t Call(const char* name, Args... args) const;

  HMODULE const m_hModule;  // null when the library could not be loaded
};
