#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "common/TestEnv.h"
#include "discovery/VCIIdentClient.h"
#include "host/IniFile.h"
#include "platform/Registry.h"
#include "records/InvalidVCIList.h"
#include "records/RecordImages.h"
#include "records/VCICachedMap.h"
#include "records/VCIStatusMap.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

using cache_file::LoadFailure;
using namespace images;
using wire::Bytes;

namespace {

const uint32_t kSerial = 4711;
const uint32_t kTokenLow = 0x11223344, kTokenHigh = 0x55667788;
const uint8_t kSequence = 9;

Builder SessionsImage() {
  return Sessions({Builder().u32(2117).u32(1).u32(3).str("diag").str("pc1").str("10.0.0.5").u32(1).u32(1)});
}

CSessionList OneSession() {
  CSessionList sessions;
  EXPECT_TRUE(wire::Load(sessions, SessionsImage()));
  return sessions;
}

// A cached item as a fetch builds it: the fetched status (no kinds, no
// addresses) and the announcement that caused the fetch.
CVCICachedItem MakeItem(uint32_t serial) {
  CArgList deviceInfo;
  deviceInfo.SetValue("ProductVersion", "7");
  deviceInfo.SetValue("ProductDate", "1F");
  CVCIStatus status(serial, 1, CCompList(), CAppList(), CCompList(), deviceInfo, OneSession(), CArgList(), 12);
  CVCIIdentMsg announcement(serial, 1, kTokenLow, kTokenHigh, OneSession(), VCI_KIND_ETHERNET);
  announcement.SetModuleType(12);
  return CVCICachedItem(announcement, status);
}

Builder StatusImage(uint32_t serial) {
  Builder b;
  b.u32(2108).u32(3).u32(serial).u32(1).raw(EmptyList(2114)).raw(SessionsImage()).raw(EmptyList(2154));
  b.raw(EmptyList(2154)).raw(Args("", {Arg(1, "ProductDate", "1F"), Arg(1, "ProductVersion", "7")}));
  b.u32(0).u8(0).u8(0).count(0);  // kinds, legacy, Bluetooth, no addresses
  return b.raw(Args("", {})).u32(12);  // wireless, module type
}

// The announcement as written with the sequence counter at kSequence: no
// wireless block (flag 0), module type in the last byte.
Builder AnnouncementImage(uint32_t serial) {
  Builder b;
  b.u32(2157).u8(3).u32(serial).u32(kTokenLow).u32(kTokenHigh).u8(1).u8(1);
  return b.raw(SessionsImage()).u8(kSequence).u8(0).u8(12);
}

Builder ItemImage(uint32_t serial) {
  return Builder().u32(2162).u32(1).raw(StatusImage(serial)).raw(AnnouncementImage(serial));
}

Bytes StoreWithSequence(CSerialize& record) {
  CVCIIdentMsg::SetSequenceCounter(kSequence);
  return wire::Store(record);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  testenv::WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

Bytes ReadBytes(const std::string& path) {
  std::string s = testenv::ReadFile(path);
  return Bytes(s.begin(), s.end());
}

// The content of a record enciphered with the given key selector, as a
// cache file holds it.
Bytes Enciphered(const Bytes& content, uint32_t selector) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  if (!content.empty()) ar.WriteRaw(content.data(), static_cast<uint32_t>(content.size()));
  EXPECT_TRUE(ar.Encrypt(selector, 0));
  return wire::Content(ar);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(CacheRecords, EveryRecordReadsWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Newest;
  using wire::Rewritten;
  const Bytes emptyItem = Builder().u32(2162).u32(1).raw(EmptyStatus()).u32(2157).u8(3).u32(0).u32(0).u32(0)
                              .u8(0).u8(0).raw(Sessions({})).u8(0).u8(0).u8(0);
  wire::CheckRoundTrips({
      Newest<CInvalidVCIList>("invalid devices", Builder().u32(2159).u32(1).count(2).u32(7).u32(0xFFFFFFFF)),
      Rewritten<CInvalidVCIList>("invalid devices of version 0", Builder().u32(2159).u32(0),
                                 Builder().u32(2159).u32(1).u32(0)),
      Rewritten<CInvalidVCIList>("invalid devices of a newer version",
                                 Builder().u32(2159).u32(2).count(1).u32(5).u32(0xDEAD),
                                 Builder().u32(2159).u32(1).u32(1).u32(5)),
      Newest<CVCICachedItem>("cached item", ItemImage(kSerial)),
      {"cached item of version 0", [] { CVCIIdentMsg::SetSequenceCounter(0); return wire::Make<CVCICachedItem>(); },
       Builder().u32(2162).u32(0), emptyItem},
      Newest<CVCICachedMap>("detail cache", Builder().u32(2163).u32(1).count(1).u32(kSerial).raw(ItemImage(kSerial))),
      Rewritten<CVCICachedMap>("detail cache of version 0", Builder().u32(2163).u32(0),
                               Builder().u32(2163).u32(1).u32(0)),
  });
}

TEST(CacheRecords, ItemsKeepWhatTheFetchLearntAndAreFiledUnderTheSerialReadBeforeThem) {
  CVCICachedItem item = MakeItem(kSerial);
  EXPECT_EQ(StoreWithSequence(item), Bytes(ItemImage(kSerial)));
  EXPECT_EQ(CVCIIdentMsg::GetSequenceCounter(), kSequence + 1);  // the write took one value
  CVCICachedItem read;
  ASSERT_TRUE(wire::Load(read, ItemImage(kSerial)));
  EXPECT_TRUE(read.HasToken(item.m_Announcement));
  EXPECT_FALSE(read.HasToken(CVCIIdentMsg(kSerial, 1, kTokenLow, 0, OneSession(), 1)));

  // The key on the wire decides, not the serial number inside the item.
  CVCICachedMap map;
  ASSERT_TRUE(wire::Load(map, Builder().u32(2163).u32(1).u32(2).u32(99).raw(ItemImage(kSerial))
                                  .u32(5).raw(ItemImage(5))));
  ASSERT_EQ(map.Count(), 2u);
  ASSERT_NE(map.Find(99), nullptr);
  EXPECT_EQ(map.Find(99)->m_Status.m_uiSerial, kSerial);
  EXPECT_EQ(map.Find(kSerial), nullptr);
  EXPECT_EQ(map.m_Map.begin()->first, 5u);

  // An added empty item is stored but counts as absent.
  map.FindOrAdd(8);
  EXPECT_EQ(map.Find(8), nullptr);
  CVCICachedMap back;
  ASSERT_TRUE(wire::Load(back, StoreWithSequence(map)));
  EXPECT_EQ(back.Count(), 3u);
  EXPECT_EQ(back.Find(8), nullptr);
  EXPECT_NE(back.Find(5), nullptr);
}

TEST(CacheRecords, StoredFileIsEncipheredLoadsBackAndAFailedStoreKeepsTheOldOne) {
  testenv::ScratchDir dir;
  const std::string path = dir.File("data_files/sub/valid-module_1.bin");  // folders are created
  CVCICachedMap map;
  map.Set(kSerial, MakeItem(kSerial));
  map.Set(12, MakeItem(12));
  CVCIIdentMsg::SetSequenceCounter(kSequence);
  ASSERT_EQ(map.Store(path), 0);
  EXPECT_FALSE(FileExists(path + ".tmp"));

  Bytes file = ReadBytes(path);
  ASSERT_GE(file.size(), 8u);
  EXPECT_EQ(file[0] | file[1] << 8, 2163 | 0x8000);
  EXPECT_EQ((file.size() - 4) % 8, 0u);
  // The body is not in clear: the key serial number does not appear at its place.
  EXPECT_NE(Bytes(file.begin() + 12, file.begin() + 16), Bytes(Builder().u32(12)));

  CVCICachedMap loaded;
  ASSERT_EQ(loaded.Load(path), 0);
  EXPECT_EQ(StoreWithSequence(loaded), StoreWithSequence(map));

  // A second store replaces the file whole; an empty item in the file (as
  // older versions stored them) is not loaded.
  CVCICachedMap smaller;
  smaller.Set(3, MakeItem(3));
  smaller.FindOrAdd(8);
  ASSERT_EQ(smaller.Store(path), 0);
  ASSERT_EQ(loaded.Load(path), 0);
  EXPECT_EQ(loaded.Count(), 1u);

  // A failed store leaves no temporary: a folder in the target's place
  // fails the rename, and a record that cannot be written keeps the old file.
  const Bytes before = ReadBytes(path);
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
  EXPECT_EQ(map.Store(dir.File("folder")), -1);
  EXPECT_FALSE(FileExists(dir.File("folder.tmp")));
  map.FindOrAdd(kSerial).m_Status.m_Sessions.m_Sessions.resize(CSessionList::MAX_SESSIONS + 1);
  EXPECT_EQ(map.Store(path), -1);
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_FALSE(FileExists(path + ".tmp"));
}

// What an interrupted store of the data folder leaves, told from the files
// that belong there.
TEST(CacheRecords, OnlyTheTemporaryFilesOfTheStoresCountAsLeftovers) {
  const std::pair<const char*, bool> names[] = {
      {"valid-module_1.bin.abc123", true}, {"invalid-module_47.bin.ZZZZZZ", true}, {"vci-bt.txt.09aZbY", true},
      {"valid-module_1.bin", false},       {"valid-module_1.bin.abc12", false},    {"valid-module_1.bin.ab-123", false},
      {"valid-module_.bin.abc123", false}, {"valid-module_x.bin.abc123", false},   {"non-vci-bt.txt.abc123", false}};
  for (const auto& n : names) EXPECT_EQ(CVCIIdentClient::IsStoreTemporary(n.first), n.second) << n.first;
}

// Every way a file can be unfit: the load fails with the step named, and the
// record is left empty whatever it held before.
TEST(CacheRecords, BrokenFilesFailToLoadAndLeaveTheCacheEmpty) {
  testenv::ScratchDir dir;
  CVCICachedMap good;
  good.Set(kSerial, MakeItem(kSerial));
  const Bytes clear = StoreWithSequence(good);
  const Bytes enciphered = Enciphered(clear, 0);

  Bytes flipped = enciphered;
  flipped[20] ^= 0xFF;
  const struct {
    const char* name;
    Bytes file;
    LoadFailure::Step step;
    const char* described;  // a regex that the failure's description matches
  } cases[] = {
      {"empty", Bytes(), LoadFailure::NO_ID_WORD, "holds 0 bytes, no object id"},
      {"short", Bytes{0x73, 0x88}, LoadFailure::NO_ID_WORD, ""},
      {"clear", clear, LoadFailure::NOT_ENCIPHERED, ""},
      {"cut inside a block", Bytes(enciphered.begin(), enciphered.end() - 3), LoadFailure::DECIPHER, ""},
      {"cut at a block end", Bytes(enciphered.begin(), enciphered.begin() + 4 + 8 * 4), LoadFailure::RECORD,
       "^CVCICachedMap: read failed at byte ([0-9]|[12][0-9]|3[0-6]) of 36"},
      {"other key", Enciphered(clear, 1), LoadFailure::RECORD, ""},
      {"damaged block", flipped, LoadFailure::RECORD, ""},
      {"other record", Enciphered(Builder().u32(2159).u32(1).u32(0), 0), LoadFailure::WRONG_ID, "object id 2159 "},
      {"missing", Bytes(), LoadFailure::READ_FILE, "missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.step == LoadFailure::READ_FILE ? "missing.bin" : "f.bin");
    if (c.step != LoadFailure::READ_FILE) WriteBytes(path, c.file);
    CVCICachedMap map = good;
    map.m_uiVersion = 7;
    LoadFailure failure;
    EXPECT_EQ(map.Load(path, &failure), -1);
    EXPECT_EQ(failure.m_Step, c.step);
    EXPECT_TRUE(std::regex_search(failure.Describe("CVCICachedMap"), std::regex(c.described)))
        << failure.Describe("CVCICachedMap");
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(map.m_uiVersion, 1u);
  }

  LoadFailure failure;
  CInvalidVCIList list;
  list.m_Serials = {4};
  WriteBytes(dir.File("inv.bin"), Builder().u32(2159).u32(1).u32(1).u32(4));  // clear
  EXPECT_EQ(list.Load(dir.File("inv.bin"), &failure), -1);
  EXPECT_EQ(failure.m_Step, LoadFailure::NOT_ENCIPHERED);
  EXPECT_EQ(list.Count(), 0u);
}

}  // namespace

// A count of the smallest valid entries (an application of version 0 is 8
// bytes, a cached item of version 0 with its serial 12) is refused for what
// the entries would hold in memory; tables of real size with the smallest
// full entries still read.
TEST(CacheRecords, RecordsHoldAtMostAboutTenTimesTheirBytesInMemory) {
  const uint32_t kForged = 4u * 1024 * 1024 / 8;
  CVCIStatusMap table;
  for (uint32_t serial = 1; serial <= 1000; ++serial) table.m_Map[serial].m_uiSerial = serial;
  CAppList apps;
  for (int i = 0; i < 2000; ++i) apps.Add(CAppList::CApp());
  CVCICachedMap cache;
  for (uint32_t serial = 1; serial <= 1000; ++serial) cache.FindOrAdd(serial) = MakeItem(serial);
  CAppList appsRead;
  CVCICachedMap cacheRead;
  CVCIStatusMap tableRead;
  Builder forgedApps = Builder().u32(OBJID_CAppList).i32(0).u32(1).count(kForged);
  Builder forgedCache = Builder().u32(OBJID_CVCICachedMap).u32(1).count(kForged * 8 / 12);
  for (uint32_t i = 0; i < kForged; ++i) forgedApps.u32(OBJID_CAppList_CApp).u32(0);
  for (uint32_t i = 0; i < kForged * 8 / 12; ++i) forgedCache.u32(i).u32(OBJID_CVCICachedItem).u32(0);
  const struct {
    const char* what;
    CSerialize* record;
    Bytes image;
    bool reads;
  } cases[] = {
      {"4 MiB of version-0 applications", &appsRead, forgedApps, false},
      {"4 MiB of version-0 cached items", &cacheRead, forgedCache, false},
      {"2000 default applications", &appsRead, wire::Store(apps), true},
      {"1000 statuses without details", &tableRead, wire::Store(table), true},
      {"1000 cached items as fetches make them", &cacheRead, wire::Store(cache), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reads, wire::Load(*c.record, c.image)) << c.what;
  EXPECT_EQ(apps, appsRead);
  EXPECT_EQ(1000u, tableRead.m_Map.size());
  EXPECT_EQ(1000u, cacheRead.Count());
}

// vci-bt.txt truncated, garbled or replaced by a folder: reading it gives
// what it still holds and never fails the start; storing a new VCI then
// either writes a file that reads back with it or leaves the broken one.
TEST(CacheRecords, ABrokenBluetoothFileIsReadAsFarAsItGoesAndNeverWrittenUnreadable) {
  const std::string good =
      "[4711]\nBDADDR = 00:1b:dc:00:47:11\nFW_Version = 02010700\nModuleType = 5\nModuleState = 1\n";
  // Truncated, garbled, and a folder in the file's place.
  for (const std::string& text : {good.substr(0, good.size() / 2), std::string("[4711\n\x01\x02 = = ]\n[815:]\n"
                                  "BDADDR = x\n[815]\nBDADDR = 00:1b:dc:00:08:15\n"), std::string()}) {
    SCOPED_TRACE(text);
    testenv::ScratchDir dir;
    testenv::ScopedRegistry registry(dir, nullptr);
    ASSERT_EQ(platform::RegistrySetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI",
                                          "IdentServiceDefaultLocation", dir.Path()), 0);
    const std::string path = dir.File("data_files/vci-bt.txt");
    testenv::WriteFile(text.empty() ? path + "/x" : path, text);
    CVCIIdentClient engine("libTosBtApiNowhere.so");
    EXPECT_EQ(engine.LoadDetectedVCIs(), 0);
    const BtVciInfo found{"00:1b:dc:00:08:16", 0x02010700, 5, 1, {}, 0};
    EXPECT_EQ(engine.UpdateDetectedVCIs("816", found), 0);
    CIniFile back;
    if (text.empty()) {
      EXPECT_TRUE(FileExists(path + "/x"));  // the folder stays as it was
    } else if (back.Load(path) && back.Find("816:BDADDR")) {
      EXPECT_EQ(back.GetString("816:BDADDR", ""), found.BDADDR);
    } else {
      EXPECT_EQ(testenv::ReadFile(path), text);
    }
  }
}
