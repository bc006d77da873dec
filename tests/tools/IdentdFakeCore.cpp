// vci-identd's host with a counting core in place of the connection manager:
// the core logs each call as the host makes it and, like the manager, fails a
// second Initialize ($VCI_FAKE_CORE_FAILS: every Initialize fails). With
// --survive-close alone it is a window of the service's class that outlives
// WM_CLOSE instead, an instance that will not stop.
#include <cstdlib>
#include <string>

#include "IdentService.h"
#include "host/TraceLog.h"
#include "platform/ServiceNotify.h"
#include "platform/StackNotification.h"

namespace {

class CFakeCore : public IServiceCore {
 public:
  int Initialize() override {
    int result = m_bInitialised || getenv("VCI_FAKE_CORE_FAILS") ? -1 : 0;
    m_bInitialised = true;
    TraceLog(TRACE_INFO, "FakeCore::Initialize %d", result);
    return result;
  }
  int Uninitialize() override {
    m_bInitialised = false;
    TraceLog(TRACE_INFO, "FakeCore::Uninitialize");
    return 0;
  }
  int DisconnectClients() override {
    TraceLog(TRACE_INFO, "FakeCore::DisconnectClients");
    return 0;
  }
  void Reload() override {  // with the lines that the output list holds
    const HWND list = GetDlgItem(FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr), 101);
    TraceLog(TRACE_INFO, "FakeCore::Reload, %d lines in the output list", int(SendMessage(list, LB_GETCOUNT, 0, 0)));
  }
  std::string Describe() override { return m_bInitialised ? "a fake core" : "a fake core, not initialised"; }

 private:
  bool m_bInitialised = false;
};

LRESULT SurviveClose(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return message == WM_CLOSE ? 0 : DefWindowProc(hwnd, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string commandLine = CIdentService::CommandLineTail(argc, argv);
  if (commandLine == "--survive-close") {
    WNDCLASSEX wc = {};
    wc.lpfnWndProc = &SurviveClose;
    wc.lpszClassName = platform::SERVICE_WINDOW_CLASS;
    RegisterClassEx(&wc);
    CreateWindowEx(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr);
    platform::NotifyServiceManager("READY=1");
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0)) DispatchMessage(&msg);
    return 0;
  }
  CFakeCore core;
  CIdentService service(core);
  return service.Run(commandLine);
}
