#include "platform/ListBox.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

LRESULT CListBox::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // The window's own list lives from WM_CREATE to WM_NCDESTROY; only the
  // owning thread calls this procedure.
  CListBox* self = reinterpret_cast<CListBox*>(GetWindowLongPtr(hwnd, GWLP_USERDATA));
  if (message == WM_CREATE) {
    SetWindowLongPtr(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new CListBox));
    return 0;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtr(hwnd, GWLP_USERDATA, 0);
    delete self;
    return 0;
  }
  if (!self) return DefWindowProc(hwnd, message, wParam, lParam);
  const size_t count = self->m_Lines.size();
  const bool inRange = wParam < count;
  switch (message) {
    case LB_ADDSTRING: {
      const char* text = reinterpret_cast<const char*>(lParam);
      self->m_Lines.push_back(text ? text : "");
      if (IsWindowVisible(hwnd)) {
        fputs(self->m_Lines.back().c_str(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
      }
      return static_cast<LRESULT>(count);
    }
    case LB_DELETESTRING:
      if (!inRange) return LB_ERR;
      self->m_Lines.erase(self->m_Lines.begin() + static_cast<std::ptrdiff_t>(wParam));
      // The selection stays on its line; it is gone with its line.
      if (self->m_Selection == static_cast<LRESULT>(wParam))
        self->m_Selection = LB_ERR;
      else if (self->m_Selection > static_cast<LRESULT>(wParam))
        --self->m_Selection;
      return static_cast<LRESULT>(count - 1);
    case LB_RESETCONTENT:
      self->m_Lines.clear();
      self->m_Selection = LB_ERR;
      return 0;
    case LB_SETCURSEL:
      self->m_Selection = inRange ? static_cast<LRESULT>(wParam) : LB_ERR;
      return inRange ? 0 : LB_ERR;
    case LB_GETCURSEL: return self->m_Selection;
    case LB_GETCOUNT: return static_cast<LRESULT>(count);
    case LB_GETTEXTLEN: return inRange ? static_cast<LRESULT>(self->m_Lines[wParam].size()) : LB_ERR;
    case LB_GETTEXT:
      if (!inRange) return LB_ERR;
      memcpy(reinterpret_cast<char*>(lParam), self->m_Lines[wParam].c_str(), self->m_Lines[wParam].size() + 1);
      return static_cast<LRESULT>(self->m_Lines[wParam].size());
    default: return DefWindowProc(hwnd, message, wParam, lParam);
  }
}
