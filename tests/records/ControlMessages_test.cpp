#include <gtest/gtest.h>

#include <tuple>

#include "common/TestEnv.h"
#include "records/BluetoothReq.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/LogFile.h"
#include "records/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

// The empty table and the empty bindings as they travel.
Builder EmptyTable() { return Builder().u32(2121).u32(1).count(0); }
Builder EmptyBindings() { return Builder().u32(2164).u32(1).count(0); }

Builder Registration(uint32_t version) {
  Builder b;
  b.u32(2034).u32(version);
  if (version >= 1) b.u32(40000).str("diag");
  if (version >= 2) b.b(true);
  if (version >= 3) b.u32(1);
  return b;
}

Builder Event(uint32_t code) { return Builder().u32(2075).u32(1).u32(code).u32(0); }

Builder File(const std::string& name, const std::string& contents) {
  return Builder().u32(2216).i32(0).u32(1).str(name).count(static_cast<uint32_t>(contents.size()))
      .raw(Bytes(contents.begin(), contents.end()));
}

TEST(ControlMessages, EveryMessageReadsWritesTheNewestLayoutAndRefusesBrokenImages) {
  using wire::Newest;
  using wire::Rewritten;
  wire::CheckRoundTrips({
      Newest<CIdentConnect_Send>("registration", Registration(3)),
      Rewritten<CIdentConnect_Send>("registration of version 2", Registration(2),
                                    Builder().u32(2034).u32(3).u32(40000).str("diag").b(true).u32(0)),
      Rewritten<CIdentConnect_Send>("registration of version 1", Registration(1),
                                    Builder().u32(2034).u32(3).u32(40000).str("diag").b(false).u32(0)),
      Rewritten<CIdentConnect_Send>("registration of version 0", Registration(0),
                                    Builder().u32(2034).u32(3).u32(0).str("").b(false).u32(0)),
      // A failed registration still carries every field.
      Newest<CIdentConnect_Recv>("registration reply",
                                 Builder().u32(2037).i32(-1).u32(2).u32(12).u32(0x01020304).u32(0x07EA0C00)
                                     .u32(321).str("Identification Service").raw(EmptyTable()).raw(EmptyBindings())),
      Rewritten<CIdentConnect_Recv>("registration reply of version 0", Builder().u32(2037).i32(-1).u32(0),
                                    Builder().u32(2037).i32(-1).u32(2).u32(0).u32(0).u32(0).u32(0).str("")
                                        .raw(EmptyTable()).raw(EmptyBindings())),
      Newest<CIdentDisconnect_Send>("unregistration", Builder().u32(2043).u32(77)),
      Newest<CIdentDisconnect_Recv>("unregistration reply", Builder().u32(2044).i32(-1)),
      Newest<CBluetoothReq_Send>("Bluetooth request", Builder().u32(2145).u32(1).u32(5).u32(123456).u32(1)),
      Rewritten<CBluetoothReq_Send>("Bluetooth request of version 0", Builder().u32(2145).u32(0),
                                    Builder().u32(2145).u32(1).u32(0).u32(0).u32(0)),
      Newest<CBluetoothReq_Recv>("Bluetooth reply", Builder().u32(2146).i32(20531)),
      Newest<CIdentEvent_Send>("table event", Event(0x8002).raw(EmptyTable())),
      Newest<CIdentEvent_Send>("bindings event", Event(0x8003).raw(EmptyBindings())),
      // Any other code is followed by an empty table, which a reader leaves
      // unread.
      Rewritten<CIdentEvent_Send>("interface error event", Event(0x8004), Event(0x8004).raw(EmptyTable())),
      Rewritten<CIdentEvent_Send>("event of version 0", Builder().u32(2075).u32(0), Event(0).raw(EmptyTable())),
      Newest<CIdentEvent_Recv>("event acknowledgement", Builder().u32(2076).i32(0)),
      Newest<CLogFile_Send>("data-file request", Builder().u32(2215).u32(1).count(2).str("a").str("bc")),
      Rewritten<CLogFile_Send>("data-file request of version 0", Builder().u32(2215).u32(0),
                               Builder().u32(2215).u32(1).u32(0)),
      Newest<CLogFile_Recv>("data file", File("ident_log.txt", std::string("ab\0c", 4))),
      Newest<CLogFile_Recv>("empty data file", File("empty.txt", "")),
      Rewritten<CLogFile_Recv>("data file of version 0", Builder().u32(2216).i32(-1).u32(0),
                               Builder().u32(2216).i32(-1).u32(1).str("").u32(0)),
      // Each file is filed under the name written before it, not its own.
      Newest<CLogFiles_Recv>("data files", Builder().u32(2217).i32(0).u32(1).count(2).str("a").raw(File("a", ""))
                                               .str("key").raw(File("own", "B"))),
      Rewritten<CLogFiles_Recv>("data files of version 0", Builder().u32(2217).i32(0).u32(0),
                                Builder().u32(2217).i32(0).u32(1).u32(0)),
  });
}

TEST(ControlMessages, RequestFieldsLandWhereTheServiceReadsThem) {
  CIdentConnect_Send reg;
  ASSERT_TRUE(wire::Load(reg, Registration(3)));
  EXPECT_EQ(std::make_tuple(reg.GetEventPort(), reg.GetClientName(), reg.GetPersistLog(), reg.GetNoReplyTimeout()),
            std::make_tuple(40000u, std::string("diag"), true, 1u));
  CBluetoothReq_Send bt;
  ASSERT_TRUE(wire::Load(bt, Builder().u32(2145).u32(1).u32(5).u32(123456).u32(1)));
  EXPECT_EQ(std::make_tuple(bt.GetSessionId(), bt.GetSerialNumber(), bt.GetCommand()),
            std::make_tuple(5u, 123456u, static_cast<uint32_t>(CBluetoothReq_Send::BT_CONNECT)));

  // The payload must be of the kind the code names.
  CIdentEvent_Send event;
  EXPECT_FALSE(wire::Load(event, Event(0x8003).raw(EmptyTable())));
  EXPECT_FALSE(wire::Load(event, Event(0x8002).raw(EmptyBindings())));
  // A Bluetooth error given with bindings still carries an empty table.
  CIdentEvent_Send btError(20531, 0, CBindMap());
  EXPECT_EQ(wire::Store(btError), Bytes(Event(20531).raw(EmptyTable())));
}

// A file not asked for is not read; a name is filed once, the first file
// under it kept. (The manager's test reads whole files and unreadable ones.)
TEST(ControlMessages, DataFilesAreReadOnlyWhenAskedForAndFiledOnceByName) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("ident_log.txt"), std::string("ab\0c", 4));
  testenv::WriteFile(dir.File("empty.txt"), "");
  CLogFile_Recv notAsked(-3, "ident_log.txt", dir.File("ident_log.txt"));
  EXPECT_EQ(notAsked.GetResult(), -3);
  EXPECT_EQ(notAsked.GetSize(), 0u);
  CLogFiles_Recv files;
  EXPECT_EQ(files.Add(CLogFile_Recv(0, "ident_log.txt", dir.File("ident_log.txt"))), 0);
  EXPECT_EQ(files.Add(CLogFile_Recv(0, "ident_log.txt", dir.File("empty.txt"))), -1);
  EXPECT_EQ(files.GetFiles().at("ident_log.txt").GetSize(), 4u);
}

}  // namespace
