// The window table of the process. Window procedures are always called with
// no lock held: a procedure may create, destroy, post to and send to windows.
#include "platform/WinUser.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/CondVar.h"
#include "platform/Journal.h"
#include "platform/ListBox.h"
#include "platform/MessageQueue.h"
#include "platform/Mutex.h"
#include "platform/WindowPublisher.h"

namespace {

struct CWindow {
  // Constant after creation.
  HWND hwnd = 0;
  std::string className;
  std::string title;
  WNDPROC proc = nullptr;
  HWND parent = 0;
  int id = 0;
  std::shared_ptr<CMessageQueue> queue;  // the owning thread's; null for another process's window
  std::thread::id owner;
  std::string remoteName;  // another process's window: its published name

  bool visible = false;     // Guarded by the table's lock.
  int cx = 0, cy = 0;       // Guarded by the table's lock.
  LONG_PTR userData = 0;    // Guarded by the table's lock.
  bool destroying = false;  // Guarded by the table's lock.
  bool published = false;   // Guarded by the table's lock.
  std::unique_ptr<CWindowPublisher> publisher;  // Owning thread only.
};

struct CClass {
  WNDPROC proc;
  bool builtIn;
};

struct CTable {
  CTable() { classes["listbox"] = CClass{&CListBox::WindowProc, true}; }

  CMutex lock;
  HWND nextHandle GUARDED_BY(lock) = 0x00010000;                      // Handles are never reused.
  std::map<HWND, std::shared_ptr<CWindow>> windows GUARDED_BY(lock);  // In creation order.
  std::map<std::string, CClass> classes GUARDED_BY(lock);             // By lower-case name.
  ATOM nextAtom GUARDED_BY(lock) = 0xC000;
  std::map<std::string, UINT> messageIds GUARDED_BY(lock);  // By lower-case name.
  std::vector<std::string> messageNames GUARDED_BY(lock);   // Id - 0xC000 -> name.
  std::map<std::string, HWND> remotes GUARDED_BY(lock);     // Published name -> handle.
};

// Never destroyed: listener threads and late posts may still reach it while
// static objects are torn down.
CTable& Table() {
  static CTable* table = new CTable;
  return *table;
}

std::string Lower(const char* s) {
  std::string r = s ? s : "";
  std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return r;
}

std::shared_ptr<CWindow> Find(HWND hwnd) {
  CTable& t = Table();
  CMutexLock g(t.lock);
  auto it = t.windows.find(hwnd);
  return it == t.windows.end() ? nullptr : it->second;
}

std::shared_ptr<CWindow> FindLocal(HWND hwnd) {
  std::shared_ptr<CWindow> w = Find(hwnd);
  return w && w->queue ? w : nullptr;
}

// A message sent to this thread by another thread or process.
LRESULT DeliverSent(const MSG& msg) {
  std::shared_ptr<CWindow> w = FindLocal(msg.hwnd);
  return w ? w->proc(msg.hwnd, msg.message, msg.wParam, msg.lParam) : 0;
}

std::string RegisteredName(UINT message) {
  CTable& t = Table();
  CMutexLock g(t.lock);
  size_t index = message - WM_REGISTERED_FIRST;
  return message >= WM_REGISTERED_FIRST && index < t.messageNames.size() ? t.messageNames[index] : std::string();
}

bool DeliverRemote(const CWindow& w, bool send, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  std::string name;
  if (message >= WM_REGISTERED_FIRST) {
    name = RegisteredName(message);
    if (name.empty()) return false;
  } else if (!CWindowPublisher::MayCross(message)) {
    return false;
  }
  return CWindowPublisher::Deliver(w.remoteName, send, message, name, wParam, lParam, result);
}

bool QueueSent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, CMessageQueue::Completion done) {
  std::shared_ptr<CWindow> w = FindLocal(hwnd);
  if (!w) return false;
  MSG msg = MSG();
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  return w->queue->Send(msg, std::move(done));
}

CWindowPublisher::CTarget TargetOf(HWND hwnd) {
  return CWindowPublisher::CTarget{
      [hwnd](UINT message, WPARAM wParam, LPARAM lParam) { return PostMessage(hwnd, message, wParam, lParam) != 0; },
      [hwnd](UINT message, WPARAM wParam, LPARAM lParam, CMessageQueue::Completion done) {
        return QueueSent(hwnd, message, wParam, lParam, std::move(done));
      }};
}

}  // namespace

extern "C" {

ATOM RegisterClassEx(const WNDCLASSEX* lpwcx) {
  if (!lpwcx || !lpwcx->lpfnWndProc || !lpwcx->lpszClassName || !*lpwcx->lpszClassName) return 0;
  CTable& t = Table();
  CMutexLock g(t.lock);
  if (!t.classes.emplace(Lower(lpwcx->lpszClassName), CClass{lpwcx->lpfnWndProc, false}).second) return 0;
  return t.nextAtom++;
}

HWND CreateWindowEx(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int x, int y,
                    int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, void* lpParam) {
  auto w = std::make_shared<CWindow>();
  bool builtIn;
  {
    CTable& t = Table();
    CMutexLock g(t.lock);
    auto cls = t.classes.find(Lower(lpClassName));
    if (cls == t.classes.end()) return 0;
    if (hWndParent && !t.windows.count(hWndParent)) return 0;
    builtIn = cls->second.builtIn;
    w->hwnd = t.nextHandle++;
    w->className = lpClassName;
    w->title = lpWindowName ? lpWindowName : "";
    w->proc = cls->second.proc;
    w->parent = hWndParent;
    w->id = static_cast<int>(hMenu);
    w->queue = CMessageQueue::ForCurrentThread();
    w->owner = std::this_thread::get_id();
    w->visible = (dwStyle & WS_VISIBLE) != 0;
    w->cx = nWidth == CW_USEDEFAULT ? 0 : nWidth;
    w->cy = nHeight == CW_USEDEFAULT ? 0 : nHeight;
    t.windows[w->hwnd] = w;
  }
  const HWND hwnd = w->hwnd;
  // Published before WM_CREATE, as a window exists for FindWindow while it
  // is being created; what others send meanwhile waits in the queue.
  if (!hWndParent && !(dwStyle & WS_CHILD) && !builtIn) {
    w->publisher = CWindowPublisher::Publish(CWindowPublisher::NameFor(w->className), TargetOf(hwnd));
    CMutexLock g(Table().lock);
    w->published = w->publisher != nullptr;
  }

  CREATESTRUCT cs = {lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth,
                     y == CW_USEDEFAULT ? 0 : y, x == CW_USEDEFAULT ? 0 : x, static_cast<LONG>(dwStyle),
                     lpWindowName, lpClassName, dwExStyle};
  if (w->proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (!IsWindow(hwnd)) return 0;
  w->proc(hwnd, WM_SIZE, 0, MAKELPARAM(w->cx, w->cy));
  return IsWindow(hwnd) ? hwnd : 0;
}

BOOL DestroyWindow(HWND hWnd) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w || w->owner != std::this_thread::get_id()) return 0;
  CTable& t = Table();
  {
    CMutexLock g(t.lock);
    if (w->destroying) return 1;
    w->destroying = true;
    w->published = false;
  }
  w->publisher.reset();  // The name goes first: a newer instance may look for it at once.
  w->proc(hWnd, WM_DESTROY, 0, 0);
  std::vector<HWND> children;
  {
    CMutexLock g(t.lock);
    for (const auto& e : t.windows)
      if (e.second->parent == hWnd) children.push_back(e.first);
  }
  for (HWND child : children) DestroyWindow(child);
  w->proc(hWnd, WM_NCDESTROY, 0, 0);
  CMutexLock g(t.lock);
  t.windows.erase(hWnd);
  return 1;
}

BOOL IsWindow(HWND hWnd) {
  std::shared_ptr<CWindow> w = Find(hWnd);
  if (!w) return 0;
  return w->queue || CWindowPublisher::Exists(w->remoteName);
}

HWND FindWindow(LPCSTR lpClassName, LPCSTR lpWindowName) {
  const std::string cls = Lower(lpClassName);
  CTable& t = Table();
  {
    CMutexLock g(t.lock);
    bool ownsName = false;
    for (const auto& e : t.windows) {
      const CWindow& w = *e.second;
      if (!w.queue || w.parent || w.destroying || Lower(w.className.c_str()) != cls) continue;
      if (!lpWindowName || w.title == lpWindowName) return w.hwnd;
      ownsName = ownsName || w.published;
    }
    if (ownsName) return 0;
  }
  const std::string name = CWindowPublisher::NameFor(lpClassName ? lpClassName : "");
  if (!CWindowPublisher::Exists(name)) return 0;
  CMutexLock g(t.lock);
  HWND& handle = t.remotes[name];
  if (!handle) {
    auto w = std::make_shared<CWindow>();
    w->hwnd = handle = t.nextHandle++;
    w->className = lpClassName;
    w->remoteName = name;
    t.windows[handle] = w;
  }
  return handle;
}

BOOL PostMessage(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  MSG msg = MSG();
  msg.hwnd = hWnd;
  msg.message = Msg;
  msg.wParam = wParam;
  msg.lParam = lParam;
  if (!hWnd) return CMessageQueue::ForCurrentThread()->Post(msg);
  std::shared_ptr<CWindow> w = Find(hWnd);
  if (!w) return 0;
  if (w->queue) return w->queue->Post(msg);
  LRESULT ignored;
  return DeliverRemote(*w, false, Msg, wParam, lParam, ignored);
}

LRESULT SendMessage(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<CWindow> w = Find(hWnd);
  if (!w) return 0;
  if (!w->queue) {
    LRESULT result = 0;
    return DeliverRemote(*w, true, Msg, wParam, lParam, result) ? result : 0;
  }
  if (w->owner == std::this_thread::get_id()) return w->proc(hWnd, Msg, wParam, lParam);
  struct CReply {
    CMutex lock;
    CCondVar done;
    bool answered GUARDED_BY(lock) = false;
    LRESULT result GUARDED_BY(lock) = 0;
  };
  auto reply = std::make_shared<CReply>();
  bool queued = QueueSent(hWnd, Msg, wParam, lParam, [reply](LRESULT result) {
    CMutexLock g(reply->lock);
    reply->result = result;
    reply->answered = true;
    reply->done.NotifyAll();
  });
  if (!queued) return 0;
  CMutexLock g(reply->lock);
  while (!reply->answered) reply->done.Wait(reply->lock);
  return reply->result;
}

LRESULT SendDlgItemMessage(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return SendMessage(GetDlgItem(hDlg, nIDDlgItem), Msg, wParam, lParam);
}

BOOL GetMessage(LPMSG lpMsg, HWND, UINT, UINT) {
  return CMessageQueue::ForCurrentThread()->Get(*lpMsg, &DeliverSent) ? 1 : 0;
}

BOOL TranslateMessage(const MSG*) { return 0; }

LRESULT DispatchMessage(const MSG* lpMsg) {
  std::shared_ptr<CWindow> w = FindLocal(lpMsg->hwnd);
  return w ? w->proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

void PostQuitMessage(int nExitCode) { CMessageQueue::ForCurrentThread()->PostQuit(nExitCode); }

UINT RegisterWindowMessage(LPCSTR lpString) {
  if (!lpString || !*lpString) return 0;
  CTable& t = Table();
  CMutexLock g(t.lock);
  auto it = t.messageIds.find(Lower(lpString));
  if (it != t.messageIds.end()) return it->second;
  if (t.messageNames.size() > 0xFFFFu - WM_REGISTERED_FIRST) return 0;
  UINT id = WM_REGISTERED_FIRST + static_cast<UINT>(t.messageNames.size());
  t.messageNames.push_back(lpString);
  t.messageIds[Lower(lpString)] = id;
  return id;
}

LRESULT DefWindowProc(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
  if (Msg == WM_CLOSE) DestroyWindow(hWnd);
  return Msg == WM_QUERYENDSESSION ? 1 : 0;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w) return 0;
  CMutexLock g(Table().lock);
  BOOL was = w->visible;
  w->visible = nCmdShow != SW_HIDE;
  return was;
}

BOOL UpdateWindow(HWND hWnd) { return FindLocal(hWnd) ? 1 : 0; }

BOOL IsWindowVisible(HWND hWnd) {
  CTable& t = Table();
  CMutexLock g(t.lock);
  for (HWND h = hWnd;;) {
    auto it = t.windows.find(h);
    if (it == t.windows.end() || !it->second->visible) return 0;
    h = it->second->parent;
    if (!h) return 1;
  }
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
  CTable& t = Table();
  CMutexLock g(t.lock);
  for (const auto& e : t.windows)
    if (hDlg && e.second->parent == hDlg && e.second->id == nIDDlgItem) return e.first;
  return 0;
}

BOOL GetClientRect(HWND hWnd, RECT* lpRect) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w) return 0;
  CMutexLock g(Table().lock);
  *lpRect = RECT{0, 0, w->cx, w->cy};
  return 1;
}

BOOL SetWindowPos(HWND hWnd, HWND, int, int, int cx, int cy, UINT uFlags) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w) return 0;
  bool resized = false;
  if (!(uFlags & SWP_NOSIZE)) {
    CMutexLock g(Table().lock);
    resized = w->cx != cx || w->cy != cy;
    w->cx = cx;
    w->cy = cy;
  }
  if (resized) SendMessage(hWnd, WM_SIZE, 0, MAKELPARAM(cx, cy));
  return 1;
}

LONG_PTR GetWindowLongPtr(HWND hWnd, int nIndex) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w || nIndex != GWLP_USERDATA) return 0;
  CMutexLock g(Table().lock);
  return w->userData;
}

LONG_PTR SetWindowLongPtr(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::shared_ptr<CWindow> w = FindLocal(hWnd);
  if (!w || nIndex != GWLP_USERDATA) return 0;
  CMutexLock g(Table().lock);
  LONG_PTR old = w->userData;
  w->userData = dwNewLong;
  return old;
}

int MessageBox(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  const std::string line = std::string(lpCaption ? lpCaption : "Error") + ": " + (lpText ? lpText : "");
  // Every message box of the service reports an error; the journal records
  // it as one.
  if (platform::IsJournalStream(2))
    platform::WriteJournalLine(2, platform::JOURNAL_ERR, line.data(), line.size());
  else
    fprintf(stderr, "%s\n", line.c_str());
  return IDOK;
}

HGLOBAL GlobalAlloc(UINT uFlags, size_t dwBytes) {
  size_t n = dwBytes ? dwBytes : 1;
  return (uFlags & GMEM_ZEROINIT) ? calloc(n, 1) : malloc(n);
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  free(hMem);
  return nullptr;
}

HICON LoadIcon(HINSTANCE, LPCSTR) { return nullptr; }
HCURSOR LoadCursor(HINSTANCE, LPCSTR) { return nullptr; }
HGDIOBJ GetStockObject(int) { return nullptr; }

}  // extern "C"
