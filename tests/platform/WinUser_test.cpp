// Windows and messages: within the process across threads, the output list,
// and windows of other processes (the service host with a counting core).
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/ServiceProcess.h"
#include "common/TestEnv.h"
#include "platform/StackNotification.h"
#include "platform/WinUser.h"

namespace {

const std::string kService = std::string(VCI_BIN_DIR) + "/vci-identd-fakecore";

std::mutex g_Lock;
std::vector<std::pair<UINT, WPARAM>> g_Seen;  // Guarded by g_Lock.
std::thread::id g_OnlyThread;                 // Guarded by g_Lock; the thread of every call.
bool g_OneThread = true;                      // Guarded by g_Lock.

LRESULT Record(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> g(g_Lock);
    if (g_Seen.empty()) g_OnlyThread = std::this_thread::get_id();
    g_OneThread = g_OneThread && g_OnlyThread == std::this_thread::get_id();
    g_Seen.emplace_back(message, wParam);
  }
  if (message == WM_DESTROY) PostQuitMessage(7);
  return message == WM_USER ? static_cast<LRESULT>(wParam * 2) : DefWindowProc(hwnd, message, wParam, lParam);
}

ATOM RegisterTestClass(const char* name, WNDPROC proc) {
  WNDCLASSEX wc = {};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  return RegisterClassEx(&wc);
}

TEST(WinUser, MessagesFromAnotherThreadAreHandledInOrderOnTheWindowsOwnThread) {
  ASSERT_NE(RegisterTestClass("WinUserTestRecord", &Record), 0);
  std::promise<HWND> created;
  std::thread owner([&created] {
    HWND hwnd = CreateWindowEx(0, "WinUserTestRecord", "", 0, 0, 0, 10, 20, 0, 0, nullptr, nullptr);
    {
      std::lock_guard<std::mutex> g(g_Lock);
      EXPECT_EQ(g_Seen.size(), 2u) << "WM_CREATE and WM_SIZE during the call";
    }
    created.set_value(hwnd);
    if (!hwnd) return;
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0)) DispatchMessage(&msg);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
  });
  HWND hwnd = created.get_future().get();
  ASSERT_NE(hwnd, 0u);
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 21, 0), 42);
  EXPECT_TRUE(PostMessage(hwnd, WM_USER + 1, 1, 0));
  EXPECT_TRUE(PostMessage(hwnd, WM_USER + 1, 2, 0));
  EXPECT_TRUE(PostMessage(hwnd, WM_CLOSE, 0, 0));
  owner.join();

  const std::vector<std::pair<UINT, WPARAM>> expected = {
      {WM_CREATE, 0},     {WM_SIZE, 0},  {WM_USER, 21},     {WM_USER + 1, 1},
      {WM_USER + 1, 2}, {WM_CLOSE, 0}, {WM_DESTROY, 0}, {WM_NCDESTROY, 0}};
  std::lock_guard<std::mutex> g(g_Lock);
  EXPECT_EQ(g_Seen, expected);
  EXPECT_TRUE(g_OneThread);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 1, 0), 0);
}

TEST(WinUser, RegisteredMessagesHaveOneIdPerNameFrom0xC000) {
  UINT one = RegisterWindowMessage("WinUserTest one");
  EXPECT_GE(one, 0xC000u);
  EXPECT_EQ(RegisterWindowMessage("WINUSERTEST ONE"), one);
  EXPECT_NE(RegisterWindowMessage("WinUserTest two"), one);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);
}

TEST(WinUser, TheOutputListKeepsItsLinesAndPrintsThemOnlyWhileItsWindowIsShown) {
  RegisterTestClass("WinUserTestParent", &DefWindowProc);
  HWND parent = CreateWindowEx(0, "WinUserTestParent", "", 0, 0, 0, 100, 100, 0, 0, nullptr, nullptr);
  HWND list = CreateWindowEx(0, "ListBox", "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent, 101, nullptr, nullptr);
  ASSERT_NE(list, 0u);
  EXPECT_EQ(GetDlgItem(parent, 101), list);

  testing::internal::CaptureStdout();
  const std::pair<int, const char*> steps[] = {{-1, "hidden"}, {SW_SHOWNORMAL, "shown"}, {SW_HIDE, "hidden again"}};
  for (const auto& step : steps) {
    if (step.first >= 0) ShowWindow(parent, step.first);
    SendMessage(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(step.second));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown\n");
  ASSERT_EQ(SendMessage(list, LB_GETCOUNT, 0, 0), 3);
  char text[32];
  EXPECT_EQ(SendMessage(list, LB_GETTEXT, 2, reinterpret_cast<LPARAM>(text)), 12);
  EXPECT_STREQ(text, "hidden again");
  EXPECT_TRUE(DestroyWindow(parent));
  EXPECT_FALSE(IsWindow(list));
}

TEST(WinUser, AnotherProcesssWindowIsFoundInItsRegistrysScopeOnlyAndASendReturnsOnceItWasHandled) {
  testenv::ServiceHome homeA;
  testenv::ChildProcess a(kService, {"-t"});
  ASSERT_TRUE(a.WaitReady());
  {
    testenv::ServiceHome homeB;
    testenv::ChildProcess b(kService, {"-t"});
    ASSERT_TRUE(b.WaitReady()) << "b started beside a: neither saw the other";
    HWND hwnd = FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr);
    ASSERT_NE(hwnd, 0u);
    EXPECT_EQ(SendMessage(hwnd, WM_CLOSE, 0, 0), 0);
    std::vector<std::string> messages = homeB.Messages(b.Pid());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "WM_DESTROY") << "written before the send returned";
    EXPECT_EQ(FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr), 0u);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(b.Wait(), 0);
  }
  // Registered messages cross by name: this process's id for it is another.
  RegisterWindowMessage("WinUserTest padding");
  HWND hwnd = FindWindow(platform::SERVICE_WINDOW_CLASS, nullptr);
  ASSERT_NE(hwnd, 0u);
  EXPECT_TRUE(PostMessage(hwnd, RegisterWindowMessage(platform::STACK_NOTIFY_MESSAGE), 99, 0));
  EXPECT_NE(a.ReadLineContaining("Bluetooth Message received 99"), "");
  EXPECT_FALSE(PostMessage(hwnd, WM_USER + 10, 0, 0)) << "a pointer in a parameter never crosses";
  a.Signal(SIGTERM);
  EXPECT_EQ(a.Wait(), 0);
}

}  // namespace
