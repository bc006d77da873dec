// CListBox: the built-in "ListBox" window class, as the service's output list
// uses it. The list keeps its lines; while its top-level window is shown,
// each added line is also written to standard output as one line and flushed,
// so the terminal serves as the output window. Hidden, nothing is printed.
#pragma once

#include <string>
#include <deque>

#include "platform/WinUser.h"

class CListBox {
 public:
  static LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  // A deque: the owner of a long-lived list deletes its oldest lines.
  std::deque<std::string> m_Lines;
  LRESULT m_Selection = LB_ERR;
};
