// Windows, messages and the message loop under their Windows names.
//
// A window is an object of this process with a class, a window procedure and
// a 32-bit handle (never reused while the process runs). Its messages go to
// the message queue of the thread that created it: PostMessage queues (from
// any thread, never blocking), SendMessage calls the procedure on that thread
// (directly when it is the caller, otherwise the caller waits until that
// thread has handled it in GetMessage), GetMessage hands out the posted ones.
//
// Other processes: a top-level window of a class registered with
// RegisterClassEx is published under an abstract Unix socket name made of its
// class and the absolute path of the registry file in force,
// "vci-ident/<class>/<registry path>", so that services with different
// registries never meet. FindWindow finds such a window of another process;
// PostMessage returns once that process has queued the message, SendMessage
// once it has handled it. Only messages whose parameters are plain numbers
// cross: WM_CLOSE, WM_QUERYENDSESSION, WM_ENDSESSION, WM_POWERBROADCAST and
// registered messages, which travel by name (their ids are per process). The
// name goes with the window or the process.
//
// Every function has C linkage. The service exports FindWindow, IsWindow,
// PostMessage, SendMessage and RegisterWindowMessage to the shared libraries it
// loads at run time (tools/vci-identd/exports.list); the rest is for the
// program itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"

typedef uint32_t HWND;  // 0 = none
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t LONG_PTR;
typedef uint16_t ATOM;
typedef uintptr_t HMENU;  // a child window's control id
typedef void* HINSTANCE;
typedef void* HICON;
typedef void* HCURSOR;
typedef void* HBRUSH;
typedef void* HGDIOBJ;
typedef void* HGLOBAL;
typedef const char* LPCSTR;

#define CALLBACK
typedef LRESULT (*WNDPROC)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

struct POINT {
  LONG x;
  LONG y;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

// Icons, cursor, brush and menu are kept but have no effect here.
struct WNDCLASSEX {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
  HICON hIconSm;
};

// lParam of WM_CREATE.
struct CREATESTRUCT {
  void* lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};

enum : UINT {
  WM_NULL = 0x0000,
  WM_CREATE = 0x0001,
  WM_DESTROY = 0x0002,
  WM_SIZE = 0x0005,
  WM_CLOSE = 0x0010,
  WM_QUERYENDSESSION = 0x0011,
  WM_QUIT = 0x0012,
  WM_ENDSESSION = 0x0016,
  WM_SETFONT = 0x0030,
  WM_NCDESTROY = 0x0082,
  WM_POWERBROADCAST = 0x0218,
  WM_USER = 0x0400,
  WM_REGISTERED_FIRST = 0xC000,  // RegisterWindowMessage ids: 0xC000..0xFFFF
};

// List box messages (the "ListBox" class): the list keeps its lines; while
// its top-level window is shown, every added line is also written to
// standard output as one line, flushed.
enum : UINT {
  LB_ADDSTRING = 0x0180,     // lParam: const char*; result: index of the line
  LB_DELETESTRING = 0x0182,  // wParam: index; result: the lines left
  LB_RESETCONTENT = 0x0184,
  LB_SETCURSEL = 0x0186,  // wParam: index
  LB_GETCURSEL = 0x0188,
  LB_GETTEXT = 0x0189,     // wParam: index, lParam: char* of LB_GETTEXTLEN + 1 bytes
  LB_GETTEXTLEN = 0x018A,  // wParam: index
  LB_GETCOUNT = 0x018B,
};
constexpr LRESULT LB_ERR = -1;

enum : DWORD {
  WS_OVERLAPPEDWINDOW = 0x00CF0000,
  WS_CHILD = 0x40000000,
  WS_VISIBLE = 0x10000000,
  WS_VSCROLL = 0x00200000,
  WS_EX_CLIENTEDGE = 0x00000200,
};
enum : int { CW_USEDEFAULT = static_cast<int>(0x80000000) };
enum : int { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOW = 5 };
enum : UINT { SWP_NOSIZE = 0x0001, SWP_NOMOVE = 0x0002, SWP_NOZORDER = 0x0004 };
enum : int { GWLP_USERDATA = -21 };
enum : UINT { MB_OK = 0, MB_ICONERROR = 0x10, MB_ICONEXCLAMATION = 0x30 };
enum : int { IDOK = 1 };
enum : UINT { GMEM_FIXED = 0, GMEM_ZEROINIT = 0x40, GPTR = 0x40 };
enum : int { COLOR_WINDOW = 5, DEFAULT_GUI_FONT = 17 };
#define IDI_APPLICATION reinterpret_cast<LPCSTR>(32512)
#define IDC_ARROW reinterpret_cast<LPCSTR>(32512)

#define LOWORD(l) static_cast<WORD>(static_cast<uintptr_t>(l) & 0xFFFF)
#define HIWORD(l) static_cast<WORD>((static_cast<uintptr_t>(l) >> 16) & 0xFFFF)
#define MAKELPARAM(lo, hi) static_cast<LPARAM>((static_cast<DWORD>(hi) << 16) | (static_cast<DWORD>(lo) & 0xFFFF))

extern "C" {

// 0 when the name is empty, the procedure missing, or the class exists.
// Class names compare case-insensitively; "ListBox" is built in.
ATOM RegisterClassEx(const WNDCLASSEX* lpwcx);

// WM_CREATE (lParam: CREATESTRUCT*) and then WM_SIZE are handled during the
// call, on the calling thread, which owns the window from now on. 0 when the
// class is unknown, WM_CREATE answered -1, or the window was destroyed while
// being created. CW_USEDEFAULT places it at 0,0. hMenu is a child's control id.
HWND CreateWindowEx(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int x, int y,
                    int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, void* lpParam);
// On the owning thread only: unpublishes the window, sends WM_DESTROY,
// destroys its children, sends WM_NCDESTROY. Messages still queued for it
// are handed out by GetMessage and dropped by DispatchMessage.
BOOL DestroyWindow(HWND hWnd);
BOOL IsWindow(HWND hWnd);

// A window of that class in this process (the oldest), else one of another
// process in the registry's scope. The title is compared for windows of this
// process only.
HWND FindWindow(LPCSTR lpClassName, LPCSTR lpWindowName);

// hWnd 0 posts a thread message to the calling thread's queue. FALSE when
// the window does not exist or the message cannot cross to its process.
BOOL PostMessage(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// The procedure's result; 0 when the window does not exist, the message
// cannot cross, or the owning thread or process ended first. A thread
// waiting here handles no messages of its own meanwhile.
LRESULT SendMessage(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessage(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);

// The calling thread's queue. Waits for a posted message, handling the
// messages sent meanwhile; FALSE with WM_QUIT once PostQuitMessage was called
// and nothing posted is left. The filters must be 0: all messages.
BOOL GetMessage(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL TranslateMessage(const MSG* lpMsg);
// Calls the window's procedure; 0 for a message to a window that is gone.
LRESULT DispatchMessage(const MSG* lpMsg);
void PostQuitMessage(int nExitCode);
// The same name (case-insensitive) gives the same id in a process, from
// 0xC000 up; 0 for an empty name or when the ids are used up.
UINT RegisterWindowMessage(LPCSTR lpString);

// WM_CLOSE destroys the window, WM_QUERYENDSESSION answers TRUE, everything
// else 0.
LRESULT DefWindowProc(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Whether the window was visible before.
BOOL ShowWindow(HWND hWnd, int nCmdShow);
// Nothing to paint here: TRUE for a window.
BOOL UpdateWindow(HWND hWnd);
// The window and every ancestor shown.
BOOL IsWindowVisible(HWND hWnd);
HWND GetDlgItem(HWND hDlg, int nIDDlgItem);
// The client area is the whole window: 0, 0, width, height.
BOOL GetClientRect(HWND hWnd, RECT* lpRect);
// A change of size sends WM_SIZE. There is no z-order here.
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
// GWLP_USERDATA only.
LONG_PTR GetWindowLongPtr(HWND hWnd, int nIndex);
LONG_PTR SetWindowLongPtr(HWND hWnd, int nIndex, LONG_PTR dwNewLong);

// Writes "caption: text" to standard error (at priority err when that is the
// journal) and returns IDOK at once.
int MessageBox(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// Plain heap blocks (GMEM_ZEROINIT zeroes); GlobalFree answers 0.
HGLOBAL GlobalAlloc(UINT uFlags, size_t dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);

// No resources here: 0 handles, which every function accepts.
HICON LoadIcon(HINSTANCE hInstance, LPCSTR lpIconName);
HCURSOR LoadCursor(HINSTANCE hInstance, LPCSTR lpCursorName);
HGDIOBJ GetStockObject(int i);

}  // extern "C"
