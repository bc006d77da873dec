#include "bluetooth/BtApiSync.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "host/IdentConfig.h"
#include "host/TraceLog.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

namespace {

const char kClassName[] = "BLUETOOTH_SYNC_CLASS";
const char kTitle[] = "BLUETOOTH_SYNC_TITLE";
const DWORD kReadyWaitMs = 20000;

// The command message (wParam: command number, lParam: its parameter) and
// the command numbers; discovery, name and connect notifications come back
// on the message of the same number.
enum : UINT { WM_BT_SYNC_COMMAND = 1034 };
enum : WPARAM {
  CMD_DISCOVER = 1035,
  CMD_PAIR = 1036,
  CMD_CONNECTED = 1038,
  CMD_NAME = 1040,
  CMD_DISCONNECT = 1041,
  CMD_DISCONNECT_ALL = 1042,
};
// Closing results posted with WM_CLOSE / WM_DESTROY.
enum : LPARAM { RESULT_OK = 0, RESULT_FAILED = -1, RESULT_STACK_ERROR = -3, RESULT_UNKNOWN_COMMAND = -4 };

struct CCodeName {
  uint32_t code;
  const char* name;
};
const CCodeName kCodeNames[] = {
    {TOSBTAPI_NM_DISCOVERDEVICE_ERROR, "TOSBTAPI_NM_DISCOVERDEVICE_ERROR"},
    {TOSBTAPI_NM_DISCOVERDEVICE_START, "TOSBTAPI_NM_DISCOVERDEVICE_START"},
    {TOSBTAPI_NM_DISCOVERDEVICE_FOUND, "TOSBTAPI_NM_DISCOVERDEVICE_FOUND"},
    {TOSBTAPI_NM_DISCOVERDEVICE_END, "TOSBTAPI_NM_DISCOVERDEVICE_END"},
    {TOSBTAPI_NM_DISCOVERNAME_ERROR, "TOSBTAPI_NM_DISCOVERNAME_ERROR"},
    {TOSBTAPI_NM_DISCOVERNAME_START, "TOSBTAPI_NM_DISCOVERNAME_START"},
    {TOSBTAPI_NM_DISCOVERNAME_FOUND, "TOSBTAPI_NM_DISCOVERNAME_FOUND"},
    {TOSBTAPI_NM_DISCOVERNAME_END, "TOSBTAPI_NM_DISCOVERNAME_END"},
    {TOSBTAPI_NM_CONNECT_ERROR, "TOSBTAPI_NM_CONNECT_ERROR"},
    {TOSBTAPI_NM_CONNECT_START, "TOSBTAPI_NM_CONNECT_START"},
    {TOSBTAPI_NM_CONNECT_CONNECTED, "TOSBTAPI_NM_CONNECT_CONNECTED"},
    {TOSBTAPI_NM_CONNECT_END, "TOSBTAPI_NM_CONNECT_END"},
};

const char* CodeName(WPARAM code) {
  for (const CCodeName& c : kCodeNames)
    if (c.code == code) return c.name;
  return nullptr;
}

// The entries of a stack list (the array after its count; none for null).
template <typename List>
uint32_t Count(const List* list) {
  return list ? list->dwListNum : 0;
}

DWORD Timeout(CIdentConfig::Timeout which) { return CIdentConfig::GetInstance().GetTimeout(which); }

bool InstallPath(std::string& path) {
  return platform::ReadRegistryString("InstallPath", 260, path, nullptr, BT_STACK_REGISTRY_KEY) == ERROR_SUCCESS &&
         !path.empty();
}

void StartCompanion(const std::string& folder, const std::string& parameters) {
  ShellExecuteA(0, "open", (folder + "/TosBtPcs").c_str(), parameters.c_str(), folder.c_str(), SW_SHOWNORMAL);
}

}  // namespace

// Everything one operation's worker touches: the object lends it the lists
// its command replaces and reads the results once the worker has ended in
// time; after a timeout only the worker holds it.
class CBtApiSync::COperation {
 public:
  COperation(const CBtApiSync& api, WPARAM command) : m_Api(api), m_Command(command) {}
  ~COperation() {
    m_Api.BtMemFree(m_pDevList);
    m_Api.BtMemFree(m_pConnList);
    m_Api.BtMemFree(m_pCIDList);
    free(m_pConnect);
  }
  COperation(const COperation&) = delete;
  COperation& operator=(const COperation&) = delete;

  // The worker's window procedure, on the worker thread.
  void OnCommand(HWND hWnd, WPARAM command, LPARAM param);
  // Discovery and name notifications: the codes from errorCode to endCode
  // are theirs; error is the flag that errorCode sets.
  void OnInquiryNotify(HWND hWnd, WPARAM code, uint32_t errorCode, uint32_t endCode, const char* unknown,
                       bool& error);
  void OnConnectNotify(HWND hWnd, WPARAM code, LPARAM param);

  // Constant while the worker runs (set before it starts).
  const CBtApiSync& m_Api;  // only its constant stack entry points are used
  const WPARAM m_Command;
  uint8_t m_Address[6] = {0};
  char m_szPin[TOSBT_MAX_PIN_LENGTH + 1] = {0};

  // Shared between the worker and the starting or cancelling threads.
  CEvent m_Ready{true, false};  // set once the window exists or could not be made
  std::atomic<HWND> m_hWnd{0};
  std::atomic<bool> m_bStopRequested{false};
  std::atomic<bool> m_bCancelRequested{false};

  // Written by the worker; read by the caller once the worker has ended.
  int32_t m_lStatus = 0;
  bool m_bDiscoveryError = false;
  bool m_bNameError = false;
  bool m_bPairingFailed = false;
  char m_szName[TOSBT_NAME_BUFFER_SIZE] = {0};
  BTDEVINFOLIST* m_pDevList = nullptr;
  BTCONNECTEDDEVLIST* m_pConnList = nullptr;
  BTCIDLIST* m_pCIDList = nullptr;

 private:
  // Ends the worker through WM_CLOSE (which closes the stack session) or
  // directly through WM_DESTROY, with result r.
  void Close(HWND hWnd, LPARAM r) { PostMessage(hWnd, WM_CLOSE, 0, r); }
  void Destroy(HWND hWnd, LPARAM r) { PostMessage(hWnd, WM_DESTROY, 0, r); }
  void PairCommand(HWND hWnd);
  void EndOfPairing(HWND hWnd, BTCONNECTREQUEST* block);
  // False (logged, worker ending) when the query failed.
  bool RefreshCIDList(HWND hWnd);

  // Worker only: the connect block of a pairing in progress.
  BTCONNECTREQUEST* m_pConnect = nullptr;
};

void CBtApiSync::COperation::OnCommand(HWND hWnd, WPARAM command, LPARAM param) {
  if (!m_Api.BtOpenAPI(hWnd, kTitle, &m_lStatus)) {
    TraceLog(TRACE_ERR, "Unable to open Bluetooth API: Status = %d", m_lStatus);
    m_Api.BtCloseAPI();
    Destroy(hWnd, RESULT_FAILED);
    return;
  }
  switch (command) {
    case CMD_DISCOVER:
      m_Api.BtMemFree(m_pDevList);
      m_pDevList = nullptr;
      if (!m_Api.BtDiscoverRemoteDevice2(&m_pDevList, TOSBT_DISCOVER_ALL, &m_lStatus, hWnd, WM_DISCOVER_REMOTE_DEVICE2,
                                         param)) {
        TraceLog(TRACE_ERR, "BtDiscoverRemoteDevice2: Status = %d", m_lStatus);
        Close(hWnd, RESULT_STACK_ERROR);
      } else if (m_bCancelRequested) {
        // A forced cancel that came before the window could take it.
        PostMessage(hWnd, WM_DISCOVER_REMOTE_DEVICE2, TOSBTAPI_NM_DISCOVERDEVICE_END, 0);
      }
      return;
    case CMD_NAME:
      m_Api.BtMemFree(m_pDevList);
      m_pDevList = nullptr;
      TraceLog(TRACE_INFO, "BtDiscoverRemoteName()");
      if (!m_Api.BtDiscoverRemoteName(m_Address, m_szName, &m_lStatus, hWnd, WM_DISCOVER_REMOTE_NAME, param)) {
        TraceLog(TRACE_ERR, "BtDiscoverRemoteName: Status = %d", m_lStatus);
        Close(hWnd, RESULT_STACK_ERROR);
      }
      return;
    case CMD_PAIR:
      PairCommand(hWnd);
      return;
    case CMD_CONNECTED:
      m_Api.BtMemFree(m_pConnList);
      m_pConnList = nullptr;
      if (!m_Api.BtGetConnectedDeviceList2(&m_pConnList, &m_lStatus)) {
        TraceLog(TRACE_ERR, "BtGetConnectedDeviceList2: Status = %d", m_lStatus);
        Destroy(hWnd, RESULT_FAILED);
      } else if (RefreshCIDList(hWnd)) {
        Close(hWnd, RESULT_OK);
      }
      return;
    case CMD_DISCONNECT:
      if (!RefreshCIDList(hWnd)) return;
      if (!m_Api.BtDisconnect(static_cast<uint16_t>(param), &m_lStatus)) {
        TraceLog(TRACE_ERR, "BtDisconnect: Status = %d", m_lStatus);
        Destroy(hWnd, RESULT_FAILED);
      } else {
        Close(hWnd, RESULT_OK);
      }
      return;
    case CMD_DISCONNECT_ALL:
      if (!RefreshCIDList(hWnd)) return;
      for (uint32_t i = 0; i < Count(m_pCIDList); ++i) {
        if (!m_Api.BtDisconnect((&m_pCIDList->Entry[0] + i)->wCID, &m_lStatus)) {
          TraceLog(TRACE_ERR, "BtDisconnect: Status = %d", m_lStatus);
          Destroy(hWnd, RESULT_FAILED);
          break;
        }
      }
      Close(hWnd, RESULT_OK);
      return;
    default:
      Close(hWnd, RESULT_UNKNOWN_COMMAND);
      return;
  }
}

bool CBtApiSync::COperation::RefreshCIDList(HWND hWnd) {
  m_Api.BtMemFree(m_pCIDList);
  m_pCIDList = nullptr;
  if (m_Api.BtGetCIDList2(&m_pCIDList, &m_lStatus)) return true;
  TraceLog(TRACE_ERR, "BtGetCIDList2: Status = %d", m_lStatus);
  Destroy(hWnd, RESULT_FAILED);
  return false;
}

void CBtApiSync::COperation::PairCommand(HWND hWnd) {
  if (m_Api.IsPaired(m_Address)) {
    if (CIdentConfig::GetInstance().GetSkipPair()) {
      TraceLog(TRACE_INFO, "Device already paired. Skip pairing");
      Destroy(hWnd, RESULT_FAILED);
      return;
    }
    TraceLog(TRACE_INFO, "Device already paired. Deleting Link Key");
    BTDEVADDRLIST keys;
    keys.dwNum = 1;
    memcpy(keys.BdAddr[0], m_Address, 6);
    if (!m_Api.BtDeleteLinkKey(&keys, &m_lStatus)) {
      TraceLog(TRACE_ERR, "BtDeleteLinkKey: lStatus = %d", m_lStatus);
      Destroy(hWnd, RESULT_FAILED);
      return;
    }
  }
  static std::atomic<uint32_t> s_NextBlockHandle{1};
  m_pConnect = static_cast<BTCONNECTREQUEST*>(calloc(1, sizeof(BTCONNECTREQUEST)));
  if (!m_pConnect) {
    TraceLog(TRACE_ERR, "pConnect == NULL");
    Destroy(hWnd, RESULT_FAILED);
    return;
  }
  BTCONNECTREQUEST* block = m_pConnect;
  memcpy(block->BdAddr, m_Address, 6);
  block->wConnectType = TOSBT_CONNECT_ACL;
  block->dwOutputKind = TOSBT_CONNECT_OUTPUT_KIND;
  block->hWnd = hWnd;
  block->uMsg = WM_BT_CONNECT;
  // The block's address does not fit the 32 bits; notifications carry the
  // block itself, which OnConnectNotify matches against m_pConnect.
  block->dwParamHandle = s_NextBlockHandle++;
  const uint8_t* address = block->BdAddr;
  m_Api.BtSetAutoReplyPinCode(address, m_szPin, static_cast<uint32_t>(strlen(m_szPin)), &m_lStatus);
  TraceLog(TRACE_INFO, "EnableSPPAutoResponse(%s)", AddressText(m_Address).c_str());
  m_Api.BtSetIOCapabilityResponse(address, TOSBT_IO_CAP_DISPLAY_ONLY, TOSBT_OOB_NONE, TOSBT_AUTH_GENERAL_BONDING,
                                  &m_lStatus);
  if (!m_Api.BtConnect(address, TOSBT_CONNECT_ACL, 0, &block->wCID, block->Output, TOSBT_CONNECT_OUTPUT_KIND,
                       &block->lStatus, hWnd, WM_BT_CONNECT, reinterpret_cast<LPARAM>(block), 0, 0, 0)) {
    free(m_pConnect);
    m_pConnect = nullptr;
    TraceLog(TRACE_ERR, "BtConnect");
    Destroy(hWnd, RESULT_FAILED);
  }
}

void CBtApiSync::COperation::OnInquiryNotify(HWND hWnd, WPARAM code, uint32_t errorCode, uint32_t endCode,
                                              const char* unknown, bool& error) {
  const char* name = CodeName(code);
  if (!name || code < errorCode || code > endCode) {
    TraceLog(TRACE_ERR, "%s", unknown);
    Close(hWnd, RESULT_STACK_ERROR);
    return;
  }
  TraceLog(TRACE_INFO, "%s", name);
  if (code == errorCode) error = true;
  if (code == endCode) Close(hWnd, RESULT_OK);
}

void CBtApiSync::COperation::OnConnectNotify(HWND hWnd, WPARAM code, LPARAM param) {
  // Only the block of the pairing in progress counts; anything else (a late
  // or stray notification) is treated as no block.
  BTCONNECTREQUEST* block = m_pConnect && param == reinterpret_cast<LPARAM>(m_pConnect) ? m_pConnect : nullptr;
  switch (code) {
    case TOSBTAPI_NM_CONNECT_START:
      if (block) block->dwConnectError = 0;
      TraceLog(TRACE_INFO, "WM_BT_CONNECT::TOSBTAPI_NM_CONNECT_START");
      return;
    case TOSBTAPI_NM_CONNECT_ERROR:
      if (block) block->dwConnectError = 1;
      TraceLog(TRACE_INFO, "WM_BT_CONNECT::TOSBTAPI_NM_CONNECT_ERROR");
      return;
    case TOSBTAPI_NM_CONNECT_CONNECTED:
      TraceLog(TRACE_INFO, "WM_BT_CONNECT::TOSBTAPI_NM_CONNECT_CONNECTED");
      return;
    case TOSBTAPI_NM_CONNECT_END:
      TraceLog(TRACE_INFO, "WM_BT_CONNECT::TOSBTAPI_NM_CONNECT_END");
      if (block) EndOfPairing(hWnd, block);
      return;
    default:
      if (block) block->dwConnectError = 1;
      TraceLog(TRACE_INFO, "WM_BT_CONNECT::unknown %d", static_cast<int>(code));
      Close(hWnd, RESULT_STACK_ERROR);
      return;
  }
}

void CBtApiSync::COperation::EndOfPairing(HWND hWnd, BTCONNECTREQUEST* block) {
  int32_t status = 0;
  m_Api.BtClearAutoReplyPinCode(block->BdAddr, &status);
  m_Api.BtClearIOCapabilityResponse(block->BdAddr, &status);
  if (!block->dwConnectError) {
    TraceLog(TRACE_INFO, "PAIRing was successfully");
    // Pairing needed a connection; the PAN connection is made separately.
    if (!m_Api.BtDisconnect(block->wCID, &status)) TraceLog(TRACE_ERR, "Error! BtDisconnect() = %d", status);
  } else {
    TraceLog(TRACE_ERR, "PAIRing was failure.");
    TraceLog(TRACE_ERR, "Error! BtConnect() = %d", block->lStatus);
    m_bPairingFailed = true;
  }
  free(m_pConnect);
  m_pConnect = nullptr;
  Close(hWnd, RESULT_OK);
}

LRESULT CBtApiSync::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* op = reinterpret_cast<COperation*>(GetWindowLongPtr(hWnd, GWLP_USERDATA));
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_CLOSE:
      if (op) op->m_Api.BtCloseAPI();
      PostMessage(hWnd, WM_DESTROY, 0, lParam);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(static_cast<int>(lParam));
      return 0;
    case WM_BT_SYNC_COMMAND:
      if (op) op->OnCommand(hWnd, wParam, lParam);
      return 0;
    case WM_DISCOVER_REMOTE_DEVICE2:
      if (op)
        op->OnInquiryNotify(hWnd, wParam, TOSBTAPI_NM_DISCOVERDEVICE_ERROR, TOSBTAPI_NM_DISCOVERDEVICE_END,
                            "WM_DISCOVER_REMOTE_DEVICE2::unkown", op->m_bDiscoveryError);
      return 0;
    case WM_DISCOVER_REMOTE_NAME:
      if (op)
        op->OnInquiryNotify(hWnd, wParam, TOSBTAPI_NM_DISCOVERNAME_ERROR, TOSBTAPI_NM_DISCOVERNAME_END,
                            "WM_DISCOVER_REMOTE_NAME::unkown", op->m_bNameError);
      return 0;
    case WM_BT_CONNECT:
      if (op) op->OnConnectNotify(hWnd, wParam, lParam);
      return 0;
    default:
      return DefWindowProc(hWnd, message, wParam, lParam);
  }
}

void CBtApiSync::WorkerMain(std::shared_ptr<COperation> op, std::shared_ptr<CEvent> ended) {
  WNDCLASSEX wc;
  memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.lpszClassName = kClassName;
  RegisterClassEx(&wc);  // fails, harmlessly, once the class exists
  HWND hWnd = CreateWindowEx(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, 0, 0, nullptr, nullptr);
  if (hWnd) {
    SetWindowLongPtr(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(op.get()));
    op->m_hWnd = hWnd;
    op->m_Ready.Set();
    // A stop that came before the window existed could not post to it.
    if (op->m_bStopRequested) PostMessage(hWnd, WM_CLOSE, 0, 0);
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
    }
    // Later posts to the window, a stack's late notification included, fail.
    DestroyWindow(hWnd);
  } else {
    op->m_Ready.Set();
  }
  // After a timeout this is the operation's last reference.
  op.reset();
  ended->Set();
}

CBtApiSync::CBtApiSync(const char* library) : CBtApi(library), m_bInitialized(IsLoaded()) {
  if (!m_bInitialized) TraceLog(TRACE_ERR, "Cannot Load the Toshiba Bluetooth DLL");
}

CBtApiSync::~CBtApiSync() {
  if (!m_bInitialized) return;
  std::vector<CWorker> abandoned;
  {
    CMutexLock g(m_Lock);
    abandoned.swap(m_Abandoned);
  }
  for (CWorker& w : abandoned) w.thread.join();
  BtMemFree(m_pDevList);
  BtMemFree(m_pConnList);
  BtMemFree(m_pCIDList);
}

void CBtApiSync::ReapAbandoned() {
  for (auto it = m_Abandoned.begin(); it != m_Abandoned.end();) {
    if (it->ended->IsSet()) {
      it->thread.join();
      it = m_Abandoned.erase(it);
    } else {
      ++it;
    }
  }
}

void CBtApiSync::Lend(COperation& op) {
  if (op.m_Command == CMD_DISCOVER || op.m_Command == CMD_NAME) std::swap(op.m_pDevList, m_pDevList);
  if (op.m_Command == CMD_CONNECTED) std::swap(op.m_pConnList, m_pConnList);
  if (op.m_Command == CMD_CONNECTED || op.m_Command == CMD_DISCONNECT || op.m_Command == CMD_DISCONNECT_ALL)
    std::swap(op.m_pCIDList, m_pCIDList);
}

// The object's lent lists are null, so swapping back is the same exchange.
void CBtApiSync::TakeBack(COperation& op) { Lend(op); }

bool CBtApiSync::Begin(const std::shared_ptr<COperation>& op, LPARAM param, int level, const char* failure) {
  bool started = false;
  {
    CMutexLock g(m_Lock);
    if (m_bInitialized && !m_pWorker) {
      ReapAbandoned();
      auto ended = std::make_shared<CEvent>(true, false);
      Lend(*op);
      try {
        m_pWorker.reset(new CWorker{std::thread(WorkerMain, op, ended), op, ended});
        started = true;
      } catch (const std::system_error&) {
        TakeBack(*op);
      }
    }
  }
  if (started) {
    if (op->m_Ready.Wait(kReadyWaitMs) == WAIT_OBJECT_0 && op->m_hWnd) {
      PostMessage(op->m_hWnd, WM_BT_SYNC_COMMAND, op->m_Command, param);
      return true;
    }
    std::shared_ptr<COperation> stopping = op;
    Stop(stopping);
  }
  TraceLog(level, "%s", failure);
  return false;
}

bool CBtApiSync::Finish(std::shared_ptr<COperation>& op, DWORD limit) {
  CWorker* worker;
  {
    CMutexLock g(m_Lock);
    worker = m_pWorker.get();
  }
  // Only this caller ends the worker it started, so worker stays valid.
  if (!worker) return true;
  const bool inTime = worker->ended->Wait(limit) == WAIT_OBJECT_0;
  if (!inTime) TraceLog(TRACE_ERR, "BT:Timed out waiting for BT API %d", static_cast<int>(limit));
  std::unique_ptr<CWorker> done;
  {
    CMutexLock g(m_Lock);
    done.swap(m_pWorker);
    if (inTime) {
      TakeBack(*op);
    } else {
      // Abandon: the window closes the stack session when the worker gets
      // to it; the state stays with the worker.
      op->m_bStopRequested = true;
      if (HWND hWnd = op->m_hWnd) PostMessage(hWnd, WM_CLOSE, 0, 0);
      m_Abandoned.push_back(CWorker{std::move(done->thread), nullptr, done->ended});
      op.reset();
      return false;
    }
  }
  done->thread.join();
  return true;
}

void CBtApiSync::Stop(std::shared_ptr<COperation>& op) {
  op->m_bStopRequested = true;
  if (HWND hWnd = op->m_hWnd) PostMessage(hWnd, WM_CLOSE, 0, 0);
  Finish(op, INFINITE);
}

bool CBtApiSync::DiscoverRemoteDevice() {
  auto op = std::make_shared<COperation>(*this, CMD_DISCOVER);
  if (!Begin(op, reinterpret_cast<LPARAM>(op.get()), TRACE_INFO,
             "DiscoverRemoteDevice: Unable to start processing thread"))
    return false;
  return Finish(op, Timeout(CIdentConfig::DISCOVERY_TIMEOUT)) && !op->m_bDiscoveryError;
}

bool CBtApiSync::DiscoverRemoteName(const uint8_t* address, std::string& name) {
  auto op = std::make_shared<COperation>(*this, CMD_NAME);
  memcpy(op->m_Address, address, 6);
  if (!Begin(op, reinterpret_cast<LPARAM>(op.get()), TRACE_INFO,
             "DiscoverRemoteName: Unable to start processing thread"))
    return false;
  if (!Finish(op, Timeout(CIdentConfig::DISCOVERY_TIMEOUT)) || op->m_bNameError) return false;
  name.assign(op->m_szName, strnlen(op->m_szName, sizeof op->m_szName));
  return true;
}

bool CBtApiSync::CheckConnectState(const uint8_t* address, uint16_t& cid, int32_t& status) {
  status = 0;
  auto op = std::make_shared<COperation>(*this, CMD_CONNECTED);
  if (!Begin(op, reinterpret_cast<LPARAM>(op.get()), TRACE_INFO,
             "CheckConnectState: Unable to start processing thread")) {
    status = -1;
    return false;
  }
  if (!Finish(op, Timeout(CIdentConfig::CHECK_CONNECT_TIMEOUT))) return false;
  status = op->m_lStatus;
  CMutexLock g(m_Lock);
  for (uint32_t i = 0; i < Count(m_pConnList); ++i) {
    const BTCONNECTEDDEVINFO& link = *(&m_pConnList->Entry[0] + i);
    if (memcmp(link.BdAddr, address, 6) != 0) continue;
    if (!m_pCIDList) {
      cid = link.wConnectionHandle;
      return true;
    }
    for (uint32_t j = 0; j < Count(m_pCIDList); ++j) {
      const BTCIDINFO& channel = *(&m_pCIDList->Entry[0] + j);
      if (channel.wConnectionHandle == link.wConnectionHandle) {
        cid = channel.wCID;
        return true;
      }
    }
    return false;
  }
  return false;
}

bool CBtApiSync::Pair(const uint8_t* address, const char* pin) {
  if (!pin) return false;
  auto op = std::make_shared<COperation>(*this, CMD_PAIR);
  memcpy(op->m_Address, address, 6);
  snprintf(op->m_szPin, sizeof op->m_szPin, "%s", pin);
  if (!Begin(op, reinterpret_cast<LPARAM>(op->m_Address), TRACE_INFO, "Pair: Unable to start processing thread"))
    return false;
  return Finish(op, Timeout(CIdentConfig::PAIR_TIMEOUT)) && !op->m_bPairingFailed;
}

bool CBtApiSync::Disconnect(uint16_t cid) {
  auto op = std::make_shared<COperation>(*this, CMD_DISCONNECT);
  if (!Begin(op, cid, TRACE_ERR, "Disconnect: Unable to start processing thread")) return false;
  return Finish(op, Timeout(CIdentConfig::CHECK_CONNECT_TIMEOUT));
}

bool CBtApiSync::DisconnectAll() {
  auto op = std::make_shared<COperation>(*this, CMD_DISCONNECT_ALL);
  if (!Begin(op, reinterpret_cast<LPARAM>(op.get()), TRACE_ERR, "DisconnectAll: Unable to start processing thread"))
    return false;
  return Finish(op, Timeout(CIdentConfig::CHECK_CONNECT_TIMEOUT));
}

bool CBtApiSync::CancelDiscovery(bool force) {
  if (force) {
    TraceLog(TRACE_INFO, "Forcing the cancelation of the discovery process");
    CMutexLock g(m_Lock);
    if (m_pWorker) {
      m_pWorker->op->m_bCancelRequested = true;
      if (HWND hWnd = m_pWorker->op->m_hWnd)
        PostMessage(hWnd, WM_DISCOVER_REMOTE_DEVICE2, TOSBTAPI_NM_DISCOVERDEVICE_END, 0);
    }
    return true;
  }
  int32_t status = 0;
  int32_t r = BtCancelDiscoverRemoteDevice(&status);
  if (!r) TraceLog(TRACE_WARN, "Cancel Discovery failed lStatus = %d", status);
  return r != 0;
}

int32_t CBtApiSync::ConnectPAN(const char* text) {
  std::string folder;
  if (!InstallPath(folder)) return -1;
  StartCompanion(folder, std::string(text ? text : "") + " /TARGET_GN");
  return 0;
}

int32_t CBtApiSync::ResetPAN() {
  std::string folder;
  if (InstallPath(folder)) StartCompanion(folder, "-00:00:00:00:00:00 /TARGET_GN");
  return 0;
}

bool CBtApiSync::IsPaired(const uint8_t* address) const {
  uint32_t count = 0;
  BTDEVINFO* list = nullptr;
  int32_t status = 0;
  if (!BtGetRemoteDeviceList2(TOSBT_REMOTE_LIST_PAIRED, 0, 0, &count, &list, &status)) return false;
  bool found = false;
  for (uint32_t i = 0; list && i < count && !found; ++i) found = memcmp(list[i].BdAddr, address, 6) == 0;
  BtMemFree(list);
  return found;
}

std::vector<std::string> CBtApiSync::GetDeviceList() const {
  CMutexLock g(m_Lock);
  std::vector<std::string> out;
  for (uint32_t i = 0; m_pDevList && i < m_pDevList->dwDevListNum; ++i)
    out.push_back(AddressText((&m_pDevList->DevInfo[0] + i)->BdAddr));
  return out;
}

std::string CBtApiSync::AddressText(const uint8_t* a) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}

bool CBtApiSync::ParseAddress(const std::string& text, uint8_t* address) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 17; ++i)
    if (i % 3 == 2 ? text[i] != ':' : !isxdigit(static_cast<unsigned char>(text[i]))) return false;
  for (size_t i = 0; i < 6; ++i) address[i] = static_cast<uint8_t>(std::stoul(text.substr(i * 3, 2), nullptr, 16));
  return true;
}
