#include "platform/Registry.h"

#include <gtest/gtest.h>

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

// Waits for a notification that must come; only a broken build reaches it.
const DWORD kGuardMs = 60000;

using platform::ReadRegistryDword;
using platform::ReadRegistryString;
using platform::RegistryStep;

// The text a read gives, or "<code at step>".
std::string Read(const char* name, DWORD size = 256, const char* key = "software\\kivo\\kivo_vci") {
  std::string text = "untouched";
  RegistryStep step = RegistryStep::CLOSE;
  LONG r = ReadRegistryString(name, size, text, &step, key);
  if (r == ERROR_SUCCESS && step == RegistryStep::NONE) return text;
  return text + " <" + std::to_string(r) + " at " + std::to_string(static_cast<int>(step)) + ">";
}

TEST(Registry, ValuesReadWithTheCallersBufferSizeAndFailWithTheCodeOfTheirStep) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  EXPECT_EQ(Read("logfilelocation"), "C:\\logs \"x\"");
  EXPECT_EQ(Read("LogFileLocation", 12), "C:\\logs \"x\"");  // 11 characters and the terminator
  EXPECT_EQ(Read("LogFileLocation", 11), "untouched <234 at 2>");
  EXPECT_EQ(Read(""), "default");
  EXPECT_EQ(Read("Keep", 256, "SOFTWARE\\Other"), "me");
  EXPECT_EQ(Read("Nope"), "untouched <2 at 2>");
  EXPECT_EQ(Read("EnableBluetooth"), "untouched <13 at 2>");  // no string
  EXPECT_EQ(Read("A", 256, "SOFTWARE\\Missing"), "untouched <2 at 1>");
  DWORD d = 0;
  EXPECT_EQ(ReadRegistryDword("EnableBluetooth", 240, d), ERROR_SUCCESS);
  EXPECT_EQ(d, 10u);
  EXPECT_EQ(ReadRegistryDword("Keep", 4, d, nullptr, "SOFTWARE\\Other"), ERROR_SUCCESS);
  EXPECT_EQ(d, 0x656Du);  // "me": the first four bytes of the text
  EXPECT_EQ(ReadRegistryDword("LogFileLocation", 4, d), ERROR_MORE_DATA);

  testenv::WriteFile(reg.Path(), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\n\"A\"=dword:12\n");
  EXPECT_EQ(Read("A"), "untouched <13 at 1>");
  testenv::WriteFile(reg.Path(), "\"A\"=\"outside\"\n");
  EXPECT_EQ(Read("A"), "untouched <13 at 1>");
  std::remove(reg.Path().c_str());
  EXPECT_EQ(Read("A"), "untouched <2 at 1>");

  // As the Windows registry editor exports it: UTF-16LE with a byte-order
  // mark, lines ending in CR LF; a character beyond 16 bits as a pair.
  const std::u16string exported = u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
                                  u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI]\r\n"
                                  u"\"Place\"=\"K\u00f6ln \U0001F697\"\r\n\"EnableBluetooth\"=dword:00000001\r\n";
  std::string bytes;
  for (char16_t c : exported) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  testenv::WriteFile(reg.Path(), bytes);
  EXPECT_EQ(Read("Place"), "K\xC3\xB6ln \xF0\x9F\x9A\x97");
  EXPECT_EQ(ReadRegistryDword("EnableBluetooth", 240, d), ERROR_SUCCESS);
  EXPECT_EQ(d, 1u);
}

// What the fuzz target does not drive: a name of another case, DWORD values,
// other keys, a deletion of what is gone, a first write into a missing folder.
TEST(Registry, WritersKeepEverythingElseAndCreateKeysAndFile) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI";
  EXPECT_EQ(platform::RegistrySetString(k, "logfilelocation", "/var/log"), 0);
  EXPECT_EQ(platform::RegistrySetDword(k, "Brand", 0x1234), 0);
  EXPECT_EQ(platform::RegistrySetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\New", "X", "y"), 0);
  EXPECT_EQ(Read("LogFileLocation"), "/var/log");
  EXPECT_EQ(Read("X", 256, "SOFTWARE\\New"), "y");
  for (const char* kept : {"; provisioning", "\"Keep\"=\"me\""})
    EXPECT_NE(testenv::ReadFile(reg.Path()).find(kept), std::string::npos) << kept;
  DWORD d = 0;
  EXPECT_EQ(ReadRegistryDword("Brand", 4, d), 0);
  EXPECT_EQ(d, 0x1234u);
  EXPECT_EQ(platform::RegistryDeleteValue(k, "Brand"), 0);
  EXPECT_EQ(platform::RegistryDeleteValue(k, "Brand"), 2);

  setenv("VCI_IDENT_REGISTRY", dir.File("sub/new.reg").c_str(), 1);
  EXPECT_EQ(platform::RegistrySetString(k, "A", "b"), 0);
  EXPECT_EQ(testenv::ReadFile(dir.File("sub/new.reg")).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
}

// That the notification has not signalled is checked once a sentinel has:
// one armed in the same folder for the unrelated file, then one armed for
// the second change. The default-device watcher keeps one key open and
// re-arms it after every change: a spent notification must not hold its
// descriptors until the key is closed.
TEST(Registry, NotificationSignalsOncePerArmedChangeOfTheRegistryFileOnlyAndReleasesWhatIsSpent) {
  testenv::ScratchDir dir;
  testenv::ScopedRegistry reg(dir, kFile);
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI";
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, VCI_REGISTRY_KEY, 0, KEY_READ, &key), 0);
  const size_t before = testenv::OpenDescriptors().size();
  CEvent ev, sentinel, rearmed;
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &ev, 1), 0);
  setenv("VCI_IDENT_REGISTRY", dir.File("unrelated.txt").c_str(), 1);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &sentinel, 1), 0);
  setenv("VCI_IDENT_REGISTRY", reg.Path().c_str(), 1);
  testenv::WriteFile(dir.File("unrelated.txt"), "x");
  ASSERT_EQ(sentinel.Wait(kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(ev.IsSet()) << "signalled by another file of the folder";
  ASSERT_EQ(platform::RegistrySetDword(k, "DefaultDevice", 1), 0);
  EXPECT_EQ(ev.Wait(kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &sentinel, 1), 0);
  ASSERT_EQ(platform::RegistrySetDword(k, "DefaultDevice", 2), 0);
  ASSERT_EQ(sentinel.Wait(kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(ev.IsSet()) << "signalled again without being re-armed";

  for (DWORD i = 0; i < 10; ++i) {
    ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &rearmed, 1), 0);
    ASSERT_EQ(platform::RegistrySetDword(k, "DefaultDevice", i), 0);
    ASSERT_EQ(rearmed.Wait(kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0)) << i;
  }
  // Only the last, spent one is left: its inotify and stop descriptors.
  EXPECT_LE(testenv::OpenDescriptors().size(), before + 2);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 0, REG_NOTIFY_CHANGE_LAST_SET, &ev, 1), 0);
  EXPECT_EQ(RegCloseKey(key), 0);  // Cancels the armed notification.
  EXPECT_LE(testenv::OpenDescriptors().size(), before);
}

}  // namespace
