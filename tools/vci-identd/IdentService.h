// CIdentService: the process entry of the identification service and the
// owner of its lifetime. It replaces a running instance (found through its
// main window), creates the hidden main window whose procedure starts and
// stops the core, shows the trace lines in the output list when the
// configuration asks for the window, and in the Bluetooth-stack start mode
// ("-t") starts the core only on the stack's notifications.
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

  // commandLine: the arguments after the program name, leading blanks
  // removed; exactly "-t" is the Bluetooth-stack mode. Returns the exit code:
  // 0 after an orderly stop and after a failed start, 1 when the sockets
  // layer cannot start.
  int Run(const std::string& commandLine);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static bool PostToOutputList(char* block);

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
};
