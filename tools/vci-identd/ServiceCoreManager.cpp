// The core of vci-identd: the process-wide client connection manager. The
// manager knows no window; when the last client has gone and ident.ini
// changed meanwhile, it shows or hides the main window through the hook
// installed here.
#include "ServiceCore.h"

#include "client_service/ClientConnectionMgr.h"
#include "platform/StackNotification.h"
#include "platform/WinUser.h"

namespace {

// This process's main window: the top-level window of the service's class.
void ShowMainWindow(bool show) {
  HWND window = FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr);
  if (!window) return;
  ShowWindow(window, show ? SW_SHOWNORMAL : SW_HIDE);
  UpdateWindow(window);
}

class CManagerServiceCore : public IServiceCore {
 public:
  CManagerServiceCore() { CClientConnectionMgr::SetShowWindowHook(&ShowMainWindow); }
  int Initialize() override { return CClientConnectionMgr::GetInstance().Initialize(); }
  int Uninitialize() override { return CClientConnectionMgr::GetInstance().Uninitialize(); }
  int DisconnectClients() override { return CClientConnectionMgr::GetInstance().DisconnectClients(); }
  void Reload() override { CClientConnectionMgr::GetInstance().Reload(); }
  std::string Describe() override { return CClientConnectionMgr::GetInstance().Describe(); }
};

}  // namespace

IServiceCore& ServiceCore() {
  static CManagerServiceCore core;
  return core;
}
