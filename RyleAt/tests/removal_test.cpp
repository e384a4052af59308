// Removal of the AT child under Q93Kat: with a COM port above it that was surprise-removed
// and so never passes its close down, and orderly removal with nobody bound.
#include "at_fixture.h"

namespace attest {
namespace {

class PortAboveTest : public AtFixture {
 protected:
  void SetUp() override {
    AtFixture::SetUp();
    // The fake bus's image also plays the COM port on the AT child's stack.
    reg::SetMultiString(kAtRecord, "UpperFilters", {FAKE_BUS_SERVICE});
  }
};

TEST_F(PortAboveTest, UnplugWithAWriteQueuedStopsTheChannelAndTheDeviceGoes) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  HANDLE h;
  ASSERT_EQ(Open(client, &h), STATUS_SUCCESS);
  ASSERT_EQ(Write(client, std::string(300, 'x').data(), 300), 1);
  pnp::SurpriseRemove(childNode);
  pnp::WaitIdle();
  // The handle keeps the stack until it closes; the port ends the close on its own.
  ASSERT_NE(sim::kernel::FindDevice(kAtDevice), nullptr);
  Close(h);
  pnp::WaitIdle();
  EXPECT_EQ(control.Closes, 0);
  EXPECT_EQ(control.Stops, 1);
  EXPECT_EQ(control.EntriesAbovePassive, 0);
  EXPECT_EQ(control.BoundAtRemoval, 0);
  EXPECT_EQ(sim::kernel::FindDevice(kAtDevice), nullptr);
}

TEST_F(PortAboveTest, CloseThroughThePortReachesTheBus) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  HANDLE h;
  ASSERT_EQ(Open(client, &h), STATUS_SUCCESS);
  EXPECT_EQ(client.Events(), std::vector<ULONG>{CHANNEL_EVENT_CTS_ON});
  Close(h);
  EXPECT_EQ(control.Stops, 1);
  EXPECT_EQ(control.Closes, 1);
}

TEST_F(AtFixture, OrderlyRemovalWithNobodyBound) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  Client client;
  HANDLE h;
  ASSERT_EQ(Open(client, &h), STATUS_SUCCESS);
  // An open handle vetoes the removal.
  EXPECT_EQ(pnp::QueryRemoveAndRemove(busNode), STATUS_DEVICE_BUSY);
  Close(h);
  EXPECT_EQ(pnp::QueryRemoveAndRemove(busNode), STATUS_SUCCESS);
  EXPECT_EQ(control.Stops, 1);
  EXPECT_EQ(control.BoundAtRemoval, 0);
  EXPECT_EQ(sim::kernel::FindDevice(kAtDevice), nullptr);
}

}  // namespace
}  // namespace attest
