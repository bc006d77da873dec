#include "IdentService.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>

#include "host/IdentConfig.h"
#include "host/LogManager.h"
#include "host/MainWindowHandle.h"
#include "host/TraceLog.h"
#include "host/TransportLogger.h"
#include "VersionText.h"
#include "platform/Journal.h"
#include "platform/ServiceNotify.h"
#include "platform/StackNotification.h"
#include "platform/StopSignals.h"
#include "platform/WinSock.h"

namespace {

const char kWindowTitle[] = "VCI Identification Service";
const int kOutputListId = 101;
const int kStoppedWaitMs = 1000;

// The stack's state codes that the service acts on.
enum : WORD {
  TOSBTAPI_NS_BTMNG_INIT_END = 1,
  TOSBTAPI_NS_ENABLE_RFCOMM = 7,
  TOSBTAPI_NS_PRE_DISABLE = 10,
  TOSBTAPI_NS_PRE_DISABLE_TOO = 20,  // reported under the same name
};

CIdentService* g_pService = nullptr;
// Where trace lines of any thread are posted; 0 until the main window is
// recorded with its output list.
std::atomic<HWND> g_LogWindow{0};

}  // namespace

CIdentService::CIdentService(IServiceCore& core) : m_Core(core) { g_pService = this; }

CIdentService::~CIdentService() {
  SetLogWindowPoster(nullptr);
  g_pService = nullptr;
}

std::string CIdentService::CommandLineTail(int argc, char** argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) tail += (i > 1 ? " " : "") + std::string(argv[i]);
  return tail.erase(0, std::min(tail.find_first_not_of(' '), tail.size()));
}

int CIdentService::Run(const std::string& commandLine) {
  // Before the settings are read (which logs what is wrong with them):
  // under systemd, warnings and errors reach the journal whatever ident.ini
  // says. Then the settings, which hand the trace its sinks, before the
  // service's first line.
  SetTraceJournal(platform::IsJournalStream(2) ? 2 : -1);
  CIdentConfig::GetInstance();
  const int exitCode = RunService(commandLine);
  if (exitCode == EXIT_STOPPED) {
    TraceLog(TRACE_WARN, "VCI Identification Service %s stopped, exit status %d", VersionText().c_str(), exitCode);
    return exitCode;
  }
  TraceLog(TRACE_ERR, "VCI Identification Service %s did not start, exit status %d", VersionText().c_str(), exitCode);
  // Whoever started it by hand, or a client library, learns why; the
  // journal has the line already.
  if (!IsTraceJournalOn()) {
    const std::string cause = GetStartFailure();
    std::fprintf(stderr, "vci-identd: %s\n", cause.empty() ? "the service did not start" : cause.c_str());
  }
  return exitCode;
}

int CIdentService::RunService(const std::string& commandLine) {
  // From here a stop signal waits for the main window instead of killing.
  CStopSignals stopSignals;
  m_sCommandLine = commandLine;
  m_bStackMode = m_sCommandLine == "-t";

  if (!StopRunningInstance()) {
    TraceLog(TRACE_ERR, "Cannot start the VCI Identification Service");
    return EXIT_START_FAILED;
  }
  WSADATA wsaData;
  if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
    TraceLog(TRACE_ERR, "WSAStartup Error");
    return EXIT_START_FAILED;
  }
  CLogManager::GetInstance().Register("client-system", 4, 0xFFFF, 1);
  TraceLog(TRACE_INFO, "Starting VCI Identification Service");

  WNDCLASSEX wc = {};
  wc.cbSize = sizeof wc;
  wc.style = 0;
  wc.lpfnWndProc = &CIdentService::WindowProc;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_WINDOW + 1));
  wc.lpszClassName = platform::SERVICE_WINDOW_CLASS;
  wc.hIconSm = LoadIcon(nullptr, IDI_APPLICATION);
  if (!RegisterClassEx(&wc)) {
    MessageBox(0, "Window Registration Failed!", "Error!", MB_ICONEXCLAMATION | MB_OK);
    TraceLog(TRACE_ERR, "Window Registration Failed!");
    return EXIT_START_FAILED;
  }
  HWND hwnd = CreateWindowEx(WS_EX_CLIENTEDGE, platform::SERVICE_WINDOW_CLASS, kWindowTitle, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, 600, 700, 0, 0, nullptr, nullptr);
  // A core that failed to start has closed the window in WM_CREATE, after
  // its own lines: the window itself did not fail.
  if (m_bStartFailed) return EXIT_START_FAILED;
  if (!hwnd) {
    MessageBox(0, "Window Creation Failed!", "Error!", MB_ICONEXCLAMATION | MB_OK);
    TraceLog(TRACE_ERR, "Window Creation Failed!");
    return EXIT_START_FAILED;
  }
  if (m_bStackMode) m_uStackMessage = RegisterWindowMessage(platform::STACK_NOTIFY_MESSAGE);
  m_hMainWnd = hwnd;
  if (m_hOutputList) {
    g_LogWindow = hwnd;
    SetLogWindowPoster(&CIdentService::PostToOutputList);
  }
  stopSignals.SetTarget(hwnd);
  ShowWindow(hwnd, CIdentConfig::GetInstance().GetShowWindow() ? SW_SHOWNORMAL : SW_HIDE);
  UpdateWindow(hwnd);
  platform::NotifyServiceManager("READY=1");
  TraceLog(TRACE_WARN, "VCI Identification Service %s started %s: %s; trace: %s", VersionText().c_str(),
           m_bStackMode ? "by the Bluetooth stack" : "by DLL", m_Core.Describe().c_str(), TraceSinksText().c_str());

  MSG msg;
  while (GetMessage(&msg, 0, 0, 0)) {
    TranslateMessage(&msg);
    // A line posted while the window was going has nobody else to free it.
    if (msg.message == WM_LOGLINE && !IsWindow(msg.hwnd)) {
      GlobalFree(reinterpret_cast<HGLOBAL>(msg.wParam));
      continue;
    }
    DispatchMessage(&msg);
  }
  return static_cast<int>(msg.wParam);
}

bool CIdentService::StopRunningInstance() {
  TraceLog(TRACE_INFO, "Stopping VCI Identification Service");
  HWND running = FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr);
  if (!running) {
    TraceLog(TRACE_INFO, "VCI Identification Service not found");
    return true;
  }
  TraceLog(TRACE_INFO, "Signalling shutdown to existing instance");
  SendMessage(running, WM_CLOSE, 0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(kStoppedWaitMs));
  if (FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr)) {
    TraceLog(TRACE_ERR, "VCI Identification Service is still running. Panic!!!");
    return false;
  }
  TraceLog(TRACE_INFO, "VCI Identification Service has stopped.");
  return true;
}

bool CIdentService::PostToOutputList(char* block) {
  HWND window = g_LogWindow.load();
  return window && PostMessage(window, WM_LOGLINE, reinterpret_cast<WPARAM>(block), 0);
}

LRESULT CALLBACK CIdentService::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return g_pService ? g_pService->OnMessage(hwnd, message, wParam, lParam)
                    : DefWindowProc(hwnd, message, wParam, lParam);
}

LRESULT CIdentService::OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_uStackMessage != 0 && message == m_uStackMessage) {
    OnStackNotification(LOWORD(wParam));
    return 1;
  }
  switch (message) {
    case WM_CREATE:
      OnCreate(hwnd);
      return 0;
    case WM_SIZE: {
      RECT client;
      GetClientRect(hwnd, &client);
      SetWindowPos(GetDlgItem(hwnd, kOutputListId), 0, 0, 0, client.right, client.bottom, SWP_NOZORDER);
      return 0;
    }
    case WM_LOGLINE: {
      SendDlgItemMessage(hwnd, kOutputListId, LB_ADDSTRING, 0, static_cast<LPARAM>(wParam));
      GlobalFree(reinterpret_cast<HGLOBAL>(wParam));
      // The list keeps the newest lines (Mode:OutputLines): a service that
      // runs for months would otherwise hold every line it ever showed.
      const LRESULT keep = static_cast<LRESULT>(CIdentConfig::GetInstance().GetOutputLines());
      LRESULT count = SendDlgItemMessage(hwnd, kOutputListId, LB_GETCOUNT, 0, 0);
      while (count > keep) count = SendDlgItemMessage(hwnd, kOutputListId, LB_DELETESTRING, 0, 0);
      SendDlgItemMessage(hwnd, kOutputListId, LB_SETCURSEL, static_cast<WPARAM>(count - 1), 0);
      return 0;
    }
    case WM_CLOSE:
      platform::NotifyServiceManager("STOPPING=1");
      TraceLog(TRACE_INFO, "WM_CLOSE");
      CTransportLogger::CloseTransportLog();
      m_Core.Uninitialize();
      m_Core.DisconnectClients();
      WSACleanup();
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      TraceLog(TRACE_INFO, "WM_DESTROY");
      // The output list goes with the window; later lines reach the file only.
      SetLogWindowPoster(nullptr);
      PostQuitMessage(0);
      return 0;
    case WM_QUERYENDSESSION:
      TraceLog(TRACE_INFO, "WM_QUERYENDSESSION");
      return 1;
    case WM_ENDSESSION:
      TraceLog(TRACE_INFO, "WM_QUERYSESSION");
      CTransportLogger::CloseTransportLog();
      WSACleanup();
      DestroyWindow(hwnd);
      return 0;
    case WM_POWERBROADCAST: return 0;
    case WM_RELOAD_CONFIG:
      platform::NotifyServiceManager("RELOADING=1");
      m_Core.Reload();
      platform::NotifyServiceManager("READY=1");
      return 0;
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}

void CIdentService::OnCreate(HWND hwnd) {
  m_hOutputList = CreateWindowEx(WS_EX_CLIENTEDGE, "ListBox", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL, 0, 0, 100, 100,
                                 hwnd, static_cast<HMENU>(kOutputListId), nullptr, nullptr);
  if (!m_hOutputList) MessageBox(hwnd, "Could not create edit box.", "Error", MB_OK | MB_ICONERROR);
  SendMessage(m_hOutputList, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
              MAKELPARAM(0, 0));
  SendMessage(m_hOutputList, LB_RESETCONTENT, 0, 0);
  if (m_bStackMode) {
    TraceLog(TRACE_INFO, "VCI Identification Service started by Bluetooth stack");
    return;
  }
  TraceLog(TRACE_INFO, "VCI Identification Service started by DLL");
  if (!InitializeCore()) {
    m_bStartFailed = true;
    MessageBox(hwnd, "Identification Service Initialization failed", "Error", MB_OK | MB_ICONERROR);
    SendMessage(hwnd, WM_CLOSE, 0, 0);
  }
}

void CIdentService::OnStackNotification(WORD code) {
  TraceLog(TRACE_INFO, "Bluetooth Message received %d", code);
  switch (code) {
    case TOSBTAPI_NS_BTMNG_INIT_END:
      TraceLog(TRACE_INFO, "Bluetooth Message TOSBTAPI_NS_BTMNG_INIT_END");
      InitializeCore();
      m_bStackInitialised = true;  // also after a failure, so that 7 tries again
      break;
    case TOSBTAPI_NS_PRE_DISABLE:
    case TOSBTAPI_NS_PRE_DISABLE_TOO:
      TraceLog(TRACE_INFO, "Bluetooth Message TOSBTAPI_NS_PRE_DISABLE");
      m_Core.Uninitialize();
      break;
    case TOSBTAPI_NS_ENABLE_RFCOMM:
      TraceLog(TRACE_INFO, "Bluetooth Message TOSBTAPI_NS_ENABLE_RFCOMM");
      if (m_bStackInitialised) InitializeCore();
      break;
    default: break;
  }
}

bool CIdentService::InitializeCore() {
  if (m_Core.Initialize() == 0) return true;
  TraceLog(TRACE_ERR, "Identification Initialization failed");
  return false;
}
