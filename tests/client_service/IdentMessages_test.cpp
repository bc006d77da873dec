#include <gtest/gtest.h>

#include "client_service/IdentConnect.h"
#include "client_service/IdentEvent.h"
#include "service_clients/WireBytes.h"

using wire::Builder;
using wire::Bytes;

namespace {

// The empty table and the empty bindings as they travel.
Bytes EmptyTable() { return Builder().u32(2121).u32(1).u32(0); }
Bytes EmptyBindings() { return Builder().u32(2164).u32(1).u32(0); }

TEST(IdentConnect, RegistrationReadsTheFieldsItsVersionCarries) {
  CIdentConnect_Send send(40000, "diag", true, 1);
  Bytes image = Builder().u32(2034).u32(3).u32(40000).str("diag").b(true).u32(1);
  EXPECT_EQ(wire::Store(send), image);
  CIdentConnect_Send back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetEventPort(), 40000u);
  EXPECT_EQ(back.GetClientName(), "diag");
  EXPECT_TRUE(back.GetPersistLog());
  EXPECT_EQ(back.GetNoReplyTimeout(), 1u);
  wire::ExpectEveryPrefixFails<CIdentConnect_Send>(image);
  wire::ExpectWrongIdsFail<CIdentConnect_Send>(image);

  // An older request carries only what its version announces, read or
  // written: the tool sends such requests to try the service's reading.
  const Bytes image1 = Builder().u32(2034).u32(1).u32(5000).str("old");
  CIdentConnect_Send v1;
  ASSERT_TRUE(wire::Load(v1, image1));
  EXPECT_EQ(v1.GetEventPort(), 5000u);
  EXPECT_FALSE(v1.GetPersistLog());
  EXPECT_EQ(v1.GetNoReplyTimeout(), 0u);
  EXPECT_EQ(wire::Store(v1), image1);

  const Bytes image2 = Builder().u32(2034).u32(2).u32(5000).str("x").b(true);
  CIdentConnect_Send v2;
  ASSERT_TRUE(wire::Load(v2, image2));
  EXPECT_TRUE(v2.GetPersistLog());
  EXPECT_EQ(v2.GetNoReplyTimeout(), 0u);
  EXPECT_EQ(wire::Store(v2), image2);

  const Bytes image0 = Builder().u32(2034).u32(0);
  CIdentConnect_Send v0;
  ASSERT_TRUE(wire::Load(v0, image0));
  EXPECT_EQ(v0.GetEventPort(), 0u);
  EXPECT_EQ(v0.GetClientName(), "");
  EXPECT_EQ(wire::Store(v0), image0);
}

TEST(IdentConnect, AFailedRegistrationStillCarriesEveryField) {
  CIdentConnect_Recv recv(-1, 12, CVCIStatusMap(), CBindMap(), 0x01020304, 0x07EA0C00, "Identification Service", 5,
                          321);
  Bytes image = Builder()
                    .u32(2037).i32(-1).u32(2).u32(12).u32(0x01020304).u32(0x07EA0C00).u32(321)
                    .str("Identification Service")
                    .raw(EmptyTable())
                    .raw(EmptyBindings());
  EXPECT_EQ(wire::Store(recv), image);
  CIdentConnect_Recv back;
  ASSERT_TRUE(wire::Load(back, image));
  EXPECT_EQ(back.GetResult(), -1);
  EXPECT_EQ(back.m_uiSessionId, 12u);
  EXPECT_EQ(back.m_uiVersionNumber, 0x01020304u);
  EXPECT_EQ(back.m_uiBuildDate, 0x07EA0C00u);
  EXPECT_EQ(back.m_uiInstanceToken, 321u);
  EXPECT_EQ(back.m_strProductName, "Identification Service");
  EXPECT_EQ(back.m_iBtInitError, 0);  // not on the wire
  EXPECT_EQ(wire::Store(back), image);
  wire::ExpectEveryPrefixFails<CIdentConnect_Recv>(image);
  wire::ExpectWrongIdsFail<CIdentConnect_Recv>(image);

  const Bytes v0 = Builder().u32(2037).i32(-1).u32(0);
  ASSERT_TRUE(wire::Load(back, v0));
  EXPECT_EQ(wire::Store(back), v0);
}

TEST(IdentEvent, PayloadFollowsTheEventCode) {
  CIdentEvent_Send ifError(0x8004, 0);
  Bytes ifImage = Builder().u32(2075).u32(1).u32(0x8004).u32(0).raw(EmptyTable());
  EXPECT_EQ(wire::Store(ifError), ifImage);

  // A Bluetooth error code given with bindings still carries an empty table.
  CIdentEvent_Send btError(20531, 0, CBindMap());
  EXPECT_EQ(wire::Store(btError), Builder().u32(2075).u32(1).u32(20531).u32(0).raw(EmptyTable()).bytes());

  CIdentEvent_Send bindings(0x8003, 0, CBindMap());
  Bytes bindImage = Builder().u32(2075).u32(1).u32(0x8003).u32(0).raw(EmptyBindings());
  EXPECT_EQ(wire::Store(bindings), bindImage);

  CIdentEvent_Send table(0x8002, 0, CVCIStatusMap());
  Bytes tableImage = Builder().u32(2075).u32(1).u32(0x8002).u32(0).raw(EmptyTable());
  EXPECT_EQ(wire::Store(table), tableImage);

  // Readers of other codes stop after the reserved word.
  CIdentEvent_Send back;
  ASSERT_TRUE(wire::Load(back, Builder().u32(2075).u32(1).u32(0x8005).u32(0)));
  EXPECT_EQ(back.GetEventCode(), 0x8005u);
  ASSERT_TRUE(wire::Load(back, bindImage));
  EXPECT_EQ(back.GetEventCode(), 0x8003u);
  // The bindings payload must be bindings, the table payload a table.
  EXPECT_FALSE(wire::Load(back, Builder().u32(2075).u32(1).u32(0x8003).u32(0).raw(EmptyTable())));
  EXPECT_FALSE(wire::Load(back, Builder().u32(2075).u32(1).u32(0x8002).u32(0).raw(EmptyBindings())));

  // Version 0 ends the message, read or written.
  CIdentEvent_Send v0;
  ASSERT_TRUE(wire::Load(v0, Builder().u32(2075).u32(0)));
  EXPECT_EQ(v0.GetEventCode(), 0u);
  EXPECT_EQ(wire::Store(v0), Builder().u32(2075).u32(0).bytes());

  wire::ExpectEveryPrefixFails<CIdentEvent_Send>(tableImage);
  wire::ExpectEveryPrefixFails<CIdentEvent_Send>(bindImage);
  wire::ExpectWrongIdsFail<CIdentEvent_Send>(ifImage);

  CIdentEvent_Recv ack(0);
  Bytes ackImage = Builder().u32(2076).i32(0);
  EXPECT_EQ(wire::Store(ack), ackImage);
  wire::ExpectEveryPrefixFails<CIdentEvent_Recv>(ackImage);
  wire::ExpectWrongIdsFail<CIdentEvent_Recv>(ackImage);
}

}  // namespace
