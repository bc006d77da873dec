#include <gtest/gtest.h>

#include "client_service/BluetoothReq.h"
#include "client_service/IdentDisconnect.h"
#include "client_service/LogFile.h"
#include "common/TestEnv.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

TEST(ControlMessages, UnregistrationCarriesTheSessionIdWithoutAVersion) {
  CIdentDisconnect_Send send(77);
  Bytes image = Builder().u32(2043).u32(77);
  EXPECT_EQ(wire::Store(send), image);
  CIdentDisconnect_Send back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetSessionId(), 77u);
  wire::ExpectEveryPrefixFails<CIdentDisconnect_Send>(image);
  wire::ExpectWrongIdsFail<CIdentDisconnect_Send>(image);

  CIdentDisconnect_Recv recv(-1);
  Bytes reply = Builder().u32(2044).i32(-1);
  EXPECT_EQ(wire::Store(recv), reply);
  CIdentDisconnect_Recv replyBack;
  ASSERT_TRUE(wire::Load(replyBack, reply));
  EXPECT_EQ(replyBack.GetResult(), -1);
  wire::ExpectEveryPrefixFails<CIdentDisconnect_Recv>(reply);
  wire::ExpectWrongIdsFail<CIdentDisconnect_Recv>(reply);
}

TEST(ControlMessages, BluetoothRequestVersionsAndReplyWithoutVersionWord) {
  CBluetoothReq_Send send(5, 123456, CBluetoothReq_Send::BT_CONNECT);
  Bytes image = Builder().u32(2145).u32(1).u32(5).u32(123456).u32(1);
  EXPECT_EQ(wire::Store(send), image);
  CBluetoothReq_Send back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetSessionId(), 5u);
  EXPECT_EQ(back.GetSerialNumber(), 123456u);
  EXPECT_EQ(back.GetCommand(), 1u);
  wire::ExpectEveryPrefixFails<CBluetoothReq_Send>(image);
  wire::ExpectWrongIdsFail<CBluetoothReq_Send>(image);

  CBluetoothReq_Send empty;
  const Bytes v0 = Builder().u32(2145).u32(0);
  ASSERT_TRUE(wire::Load(empty, v0));
  EXPECT_EQ(empty.GetSessionId(), 0u);
  EXPECT_EQ(empty.GetSerialNumber(), 0u);
  EXPECT_EQ(empty.GetCommand(), 0u);
  EXPECT_EQ(wire::Store(empty), v0);  // written as it was read

  CBluetoothReq_Recv recv(20531);
  EXPECT_EQ(wire::Store(recv), Builder().u32(2146).i32(20531).bytes());
  EXPECT_EQ(recv.m_uiVersion, 1u);
}

TEST(ControlMessages, DataFileRequestListsNamesFromVersionOne) {
  CLogFile_Send send({"a", "bc"});
  Bytes image = Builder().u32(2215).u32(1).u32(2).str("a").str("bc");
  EXPECT_EQ(wire::Store(send), image);
  CLogFile_Send back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.m_Names, (std::vector<std::string>{"a", "bc"}));
  wire::ExpectEveryPrefixFails<CLogFile_Send>(image);

  CLogFile_Send old;
  ASSERT_TRUE(wire::Load(old, Builder().u32(2215).u32(0)));
  EXPECT_TRUE(old.m_Names.empty());
  // A count the remaining bytes cannot hold fails before anything is read.
  EXPECT_FALSE(wire::Load(old, Builder().u32(2215).u32(1).u32(0xFFFFFFFF).str("x")));
}

TEST(ControlMessages, OneFileIsReadWholeFromDiskAndEmptyFilesCarryNoContentBytes) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("ident_log.txt"), std::string("ab\0c", 4));
  testenv::WriteFile(dir.File("empty.txt"), "");

  CLogFile_Recv file(0, "ident_log.txt", dir.File("ident_log.txt"));
  EXPECT_EQ(file.GetResult(), 0);
  EXPECT_EQ(file.GetName(), "ident_log.txt");
  Bytes image = Builder().u32(2216).i32(0).u32(1).str("ident_log.txt").u32(4).raw({'a', 'b', 0, 'c'});
  EXPECT_EQ(wire::Store(file), image);
  CLogFile_Recv back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetContents(), (Bytes{'a', 'b', 0, 'c'}));
  wire::ExpectEveryPrefixFails<CLogFile_Recv>(image);
  wire::ExpectWrongIdsFail<CLogFile_Recv>(image);

  CLogFile_Recv empty(0, "empty.txt", dir.File("empty.txt"));
  EXPECT_EQ(empty.GetResult(), 0);
  EXPECT_EQ(wire::Store(empty), Builder().u32(2216).i32(0).u32(1).str("empty.txt").u32(0).bytes());

  CLogFile_Recv missing(0, "gone.txt", dir.File("gone.txt"));
  EXPECT_EQ(missing.GetResult(), -1);
  EXPECT_EQ(missing.GetName(), "");
  EXPECT_EQ(missing.GetSize(), 0u);

  CLogFile_Recv notAsked(-3, "ident_log.txt", dir.File("ident_log.txt"));
  EXPECT_EQ(notAsked.GetResult(), -3);
  EXPECT_EQ(notAsked.GetSize(), 0u);

  // A size larger than what arrived fails without allocating it.
  EXPECT_FALSE(wire::Load(back, Builder().u32(2216).i32(0).u32(1).str("x").u32(0x7FFFFFFF).u8(1)));
}

TEST(ControlMessages, FileListIsFiledByNameAndRejectsDuplicates) {
  CLogFiles_Recv none;
  EXPECT_EQ(wire::Store(none), Builder().u32(2217).i32(0).u32(1).u32(0).bytes());

  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("b"), "B");
  testenv::WriteFile(dir.File("a"), "");
  CLogFiles_Recv files;
  EXPECT_EQ(files.Add(CLogFile_Recv(0, "b", dir.File("b"))), 0);
  EXPECT_EQ(files.Add(CLogFile_Recv(0, "a", dir.File("a"))), 0);
  EXPECT_EQ(files.Add(CLogFile_Recv(0, "b", dir.File("a"))), -1);
  ASSERT_EQ(files.GetFiles().size(), 2u);
  EXPECT_EQ(files.GetFiles().at("b").GetSize(), 1u);

  Bytes image = Builder()
                    .u32(2217).i32(0).u32(1).u32(2)
                    .str("a").u32(2216).i32(0).u32(1).str("a").u32(0)
                    .str("b").u32(2216).i32(0).u32(1).str("b").u32(1).u8('B');
  EXPECT_EQ(wire::Store(files), image);
  CLogFiles_Recv back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetFiles().size(), 2u);
  EXPECT_EQ(wire::Store(back), image);
  wire::ExpectEveryPrefixFails<CLogFiles_Recv>(image);
  wire::ExpectWrongIdsFail<CLogFiles_Recv>(image);

  // Each entry is filed under the name written before it, not the file's own.
  CLogFiles_Recv renamed;
  ASSERT_TRUE(wire::Load(renamed, Builder().u32(2217).i32(0).u32(1).u32(1).str("key").u32(2216).i32(0).u32(1)
                                      .str("own").u32(0)));
  ASSERT_EQ(renamed.GetFiles().count("key"), 1u);
  EXPECT_EQ(renamed.GetFiles().at("key").GetName(), "own");
}

}  // namespace
