#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <thread>

#include <boost/filesystem.hpp>

#include "common/TestEnv.h"

namespace {

const char kFile[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; provisioning\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n"
    "\"LogFileLocation\"=\"C:\\\\logs \\\"x\\\"\"\n"
    "\"EnableBluetooth\"=dword:0000000a\n"
    "@=\"default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
    "\"Keep\"=\"me\"\n";

std::string Query(const char* name, LONG* rc, DWORD bufSize = 256) {
  HKEY key = nullptr;
  *rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\kivo\\kivo_vci", 0, KEY_READ, &key);
  if (*rc) return "";
  char buf[256] = {0};
  DWORD size = bufSize;
  *rc = RegQueryValueEx(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(key);
  return buf;
}

TEST(Registry, ReadsStringsWithEscapesDwordsAndDefaultCaseInsensitively) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  LONG rc;
  EXPECT_EQ(Query("logfilelocation", &rc), "C:\\logs \"x\"");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Query(nullptr, &rc), "default");
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key), 0);
  BYTE d[4];
  DWORD type = 0, size = 4;
  EXPECT_EQ(RegQueryValueEx(key, "EnableBluetooth", nullptr, &type, d, &size), 0);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(d[0], 10);
  EXPECT_EQ(d[1] | d[2] | d[3], 0);
  RegCloseKey(key);
}

TEST(Registry, ResultCodesForMissingTooSmallAndGarbled) {
  testenv::ScratchDir dir;
  LONG rc;
  {
    testenv::ScopedRegistry reg(dir, nullptr);
    Query("LogFileLocation", &rc);
    EXPECT_EQ(rc, 2);
  }
  testenv::ScopedRegistry reg(dir, kFile);
  Query("Nope", &rc);
  EXPECT_EQ(rc, 2);
  Query("LogFileLocation", &rc, 11);  // 11 characters + terminator need 12.
  EXPECT_EQ(rc, 234);
  Query("LogFileLocation", &rc, 13);
  EXPECT_EQ(rc, 0);
  HKEY key;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key), 2);
  testenv::WriteFile(reg.Path(), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"A\"=dword:12\n");
  Query("A", &rc);
  EXPECT_EQ(rc, 13);
  testenv::WriteFile(reg.Path(), "\"A\"=\"outside\"\n");
  Query("A", &rc);
  EXPECT_EQ(rc, 13);
}

TEST(Registry, WritersKeepEverythingElseAndCreateKeysAndFile) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI";
  EXPECT_EQ(platform::RegistrySetString(k, "logfilelocation", "/var/log/a\"b"), 0);
  EXPECT_EQ(platform::RegistrySetDword(k, "Brand", 0x1234), 0);
  EXPECT_EQ(platform::RegistrySetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\New", "X", "y"), 0);
  std::string text = testenv::ReadFile(reg.Path());
  EXPECT_NE(text.find("; provisioning"), std::string::npos);
  EXPECT_NE(text.find("\"Keep\"=\"me\""), std::string::npos);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]"), std::string::npos);
  LONG rc;
  EXPECT_EQ(Query("LogFileLocation", &rc), "/var/log/a\"b");
  EXPECT_EQ(Query("EnableBluetooth", &rc), "\n");
  EXPECT_EQ(platform::RegistryDeleteValue(k, "Brand"), 0);
  EXPECT_EQ(platform::RegistryDeleteValue(k, "Brand"), 2);
  Query("Brand", &rc);
  EXPECT_EQ(rc, 2);

  testenv::ScopedRegistry fresh(dir, nullptr);
  setenv("VCI_IDENT_REGISTRY", dir.File("sub/new.reg").c_str(), 1);
  EXPECT_EQ(platform::RegistrySetString(k, "A", "b"), 0);
  EXPECT_EQ(testenv::ReadFile(dir.File("sub/new.reg")).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
}

TEST(Registry, NotificationSignalsOncePerArmedChange) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key), 0);
  CEvent ev;
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &ev, 1), 0);
  testenv::WriteFile(dir.File("unrelated.txt"), "x");
  EXPECT_EQ(ev.Wait(200), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_EQ(platform::RegistrySetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI", "DefaultDevice", 1), 0);
  EXPECT_EQ(ev.Wait(2000), static_cast<DWORD>(WAIT_OBJECT_0));
  platform::RegistrySetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI", "DefaultDevice", 2);
  EXPECT_EQ(ev.Wait(200), static_cast<DWORD>(WAIT_TIMEOUT));  // Not re-armed.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &ev, 1), 0);
  EXPECT_EQ(RegCloseKey(key), 0);  // Cancels the armed notification.
}

// The default-device watcher keeps one key open and re-arms it after every
// change: a spent notification must not hold its descriptors until the key
// is closed.
TEST(Registry, ReArmingAKeyReleasesItsSpentNotifications) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key), 0);
  CEvent ev;
  auto openDescriptors = [] {
    size_t n = 0;
    for (auto it = boost::filesystem::directory_iterator("/proc/self/fd"); it != boost::filesystem::directory_iterator();
         ++it)
      ++n;
    return n;
  };
  const size_t before = openDescriptors();
  for (DWORD i = 0; i < 10; ++i) {
    ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &ev, 1), 0);
    ASSERT_EQ(platform::RegistrySetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI", "DefaultDevice", i), 0);
    ASSERT_EQ(ev.Wait(2000), static_cast<DWORD>(WAIT_OBJECT_0)) << i;
  }
  // Only the last, spent one is left: its inotify and stop descriptors.
  EXPECT_LE(openDescriptors(), before + 2);
  EXPECT_EQ(RegCloseKey(key), 0);
  EXPECT_LE(openDescriptors(), before);
}

}  // namespace
