// CIdentService: the process entry of the identification service and the
// owner of its lifetime. It replaces a running instance (found through its
// main window), creates the hidden main window whose procedure starts and
// stops the core, shows the trace lines in the output list when the
// configuration asks for the window, and in the Bluetooth-stack start mode
// ("-t") starts the core only on the stack's notifications. Beyond the
// design, for a service manager: a start that fails exits with a non-zero
// status; a start line and a stop line (WARN) tell the administrator what
// runs; SIGHUP reads the settings again; systemd hears READY=1, STOPPING=1
// and RELOADING=1 ($NOTIFY_SOCKET).
//
// One object per process; everything runs on the thread that calls Run.
#pragma once

#include <string>

#include "ServiceCore.h"
#include "platform/WinUser.h"

class CIdentService {
 public:
  explicit CIdentService(IServiceCore& core);
  ~CIdentService();
  CIdentService(const CIdentService&) = delete;
  CIdentService& operator=(const CIdentService&) = delete;

  // The command-line tail that the entry gets on Windows: the arguments
  // after the program name as one text, without the blanks that led it.
  static std::string CommandLineTail(int argc, char** argv);

  enum : int { EXIT_STOPPED = 0, EXIT_START_FAILED = 1 };

  // commandLine: the arguments after the program name, leading blanks
  // removed; exactly "-t" is the Bluetooth-stack mode. Returns the exit code:
  // EXIT_STOPPED after an orderly stop, EXIT_START_FAILED when the start
  // failed (the failing step has logged why at ERR).
  int Run(const std::string& commandLine);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static bool PostToOutputList(char* block);

  int RunService(const std::string& commandLine);
  bool StopRunningInstance();
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCreate(HWND hwnd);
  void OnStackNotification(WORD code);
  // Initialize on the core; false (with the failure line) when it failed.
  bool InitializeCore();

  IServiceCore& m_Core;
  std::string m_sCommandLine;
  bool m_bStackMode = false;
  HWND m_hMainWnd = 0;             // 0 until creation has returned.
  HWND m_hOutputList = 0;          // 0 until created.
  UINT m_uStackMessage = 0;        // 0 unless started with "-t".
  bool m_bStackInitialised = false;
  bool m_bStartFailed = false;     // the core failed to initialise in WM_CREATE
};
