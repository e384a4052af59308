// The gate of the PnP device base, driven through real IRPs: what each device state and
// power state does to a request (passed to the member, held, or refused with a status),
// and what becomes of a held request when the state that held it ends.
#include <gtest/gtest.h>

#include "pnp_test_fixture.h"

namespace {

using pnpdev::PnpDeviceFixture;
using pnpdev::Request;

enum class Setup { Started, StopPending, RemovePending, Stopped, SurpriseRemoved, IdleD3, Asleep };
enum class Kind { Read, Write, QueryPower };
enum class Outcome { Passed, Held, Refused };
enum class Then { Nothing, CancelStop, CancelRemove, Start, SurpriseRemove, CancelIo, Wake };

struct GateCase {
  const char* name;
  Setup setup;
  Kind kind;
  Outcome outcome;
  NTSTATUS status;  // of a passed or refused request
  Then then;        // for a held request: what ends the hold
  NTSTATUS after;   // and the status the request then completes with
  ULONG gatePolicy = kPnpTestKeep;
  ULONG powerPolicy = kPnpTestKeep;
  ULONG powerHoldPolicy = kPnpTestKeep;
};

// 0xC9: the default power policy with idle power-down at the last close and without the
// power-up at open, so a handle can be open while the device sleeps in D3.
const GateCase kCases[] = {
    {"StartedPassesRead", Setup::Started, Kind::Read, Outcome::Passed, STATUS_SUCCESS, Then::Nothing, 0},
    {"QueryPowerWithHandleOpenIsBusy", Setup::Started, Kind::QueryPower, Outcome::Refused, STATUS_DEVICE_BUSY,
     Then::Nothing, 0},
    {"StopPendingHoldsUntilCancelStop", Setup::StopPending, Kind::Read, Outcome::Held, 0, Then::CancelStop,
     STATUS_SUCCESS},
    {"RemovePendingHoldsUntilCancelRemove", Setup::RemovePending, Kind::Write, Outcome::Held, 0, Then::CancelRemove,
     STATUS_SUCCESS},
    {"StoppedHoldsUntilRestart", Setup::Stopped, Kind::Read, Outcome::Held, 0, Then::Start, STATUS_SUCCESS},
    {"StoppedWithoutHoldRefuses", Setup::Stopped, Kind::Read, Outcome::Refused, STATUS_UNSUCCESSFUL, Then::Nothing, 0,
     0xDB},
    {"HeldFailsAtSurpriseRemoval", Setup::StopPending, Kind::Read, Outcome::Held, 0, Then::SurpriseRemove,
     STATUS_DELETE_PENDING},
    {"SurpriseRemovedRefusesRead", Setup::SurpriseRemoved, Kind::Read, Outcome::Refused, STATUS_DELETE_PENDING,
     Then::Nothing, 0},
    {"SurpriseRemovedRefusesQueryPower", Setup::SurpriseRemoved, Kind::QueryPower, Outcome::Refused,
     STATUS_DELETE_PENDING, Then::Nothing, 0},
    {"IdleD3PowersUpOnDemand", Setup::IdleD3, Kind::Read, Outcome::Passed, STATUS_SUCCESS, Then::Nothing, 0,
     kPnpTestKeep, 0xC9},
    {"IdleD3WithoutOnDemandHoldsUntilCancelled", Setup::IdleD3, Kind::Read, Outcome::Held, 0, Then::CancelIo,
     STATUS_CANCELLED, kPnpTestKeep, 0xC9, 0x67},
    {"AsleepHoldsUntilWake", Setup::Asleep, Kind::Write, Outcome::Held, 0, Then::Wake, STATUS_SUCCESS},
};

class PnpGateTest : public PnpDeviceFixture, public ::testing::WithParamInterface<GateCase> {};

TEST_P(PnpGateTest, RefusesHoldsOrPasses) {
  const GateCase& c = GetParam();
  control.GatePolicy = c.gatePolicy;
  control.PowerPolicy = c.powerPolicy;
  control.PowerHoldPolicy = c.powerHoldPolicy;
  // A sleeping machine with a handle open: the query must not veto it.
  if (c.setup == Setup::Asleep) control.QueryPowerPolicy = 0x7E;
  AddDevice();

  HANDLE h = nullptr;
  switch (c.setup) {
    case Setup::Started:
    case Setup::Asleep:
      h = Open();
      if (c.setup == Setup::Asleep) {
        ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(DeviceState(), PowerDeviceD3);
      }
      break;
    case Setup::StopPending:
    case Setup::Stopped:
      // Queried with no handle open (an open handle makes the query busy), opened after.
      ASSERT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
      if (c.setup == Setup::Stopped) ASSERT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
      h = Open();
      break;
    case Setup::RemovePending:
      ASSERT_EQ(SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
      h = Open();
      break;
    case Setup::SurpriseRemoved:
      h = Open();
      sim::kernel::pnp::SurpriseRemove(node);
      sim::kernel::pnp::WaitIdle();
      break;
    case Setup::IdleD3:
      Close(Open());
      ASSERT_EQ(DeviceState(), PowerDeviceD3);
      h = Open();
      ASSERT_EQ(DeviceState(), PowerDeviceD3);
      break;
  }
  ASSERT_NE(h, nullptr);

  if (c.kind == Kind::QueryPower) {
    EXPECT_EQ(Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER, PowerSystemSleeping3), c.status);
    return;
  }
  std::unique_ptr<Request> r = c.kind == Kind::Read ? StartRead(h) : StartWrite(h);
  if (c.outcome != Outcome::Held) {
    ASSERT_TRUE(r->Finished());
    EXPECT_EQ(r->iosb.Status, c.status);
    EXPECT_EQ(r->issued, c.status);
    if (c.setup == Setup::IdleD3) EXPECT_EQ(DeviceState(), PowerDeviceD0);
    return;
  }
  EXPECT_EQ(r->issued, STATUS_PENDING);
  EXPECT_FALSE(r->Finished());
  LONG servedBefore = control.ReadsServed;

  switch (c.then) {
    case Then::CancelStop: EXPECT_EQ(SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS); break;
    case Then::CancelRemove: EXPECT_EQ(SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS); break;
    case Then::Start: EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS); break;
    case Then::SurpriseRemove:
      sim::kernel::pnp::SurpriseRemove(node);
      sim::kernel::pnp::WaitIdle();
      break;
    case Then::CancelIo: EXPECT_EQ(sim::kernel::CancelIo(h), STATUS_SUCCESS); break;
    case Then::Wake:
      EXPECT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
      EXPECT_EQ(DeviceState(), PowerDeviceD0);
      break;
    case Then::Nothing: break;
  }
  EXPECT_EQ(r->Wait(), c.after);
  // Only a request dispatched again reaches the member.
  if (c.kind == Kind::Read) EXPECT_EQ(control.ReadsServed - servedBefore, c.after == STATUS_SUCCESS ? 1 : 0);
  // The device still serves requests the normal way afterwards, unless it is gone.
  if (c.after == STATUS_SUCCESS) {
    std::unique_ptr<Request> next = StartRead(h);
    ASSERT_TRUE(next->Finished());
    EXPECT_EQ(next->iosb.Status, STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(States, PnpGateTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Several held requests come back in the order they were held; one cancelled by its
// sender meanwhile completes once, as cancelled, and is not dispatched again.
class PnpHeldTest : public PnpDeviceFixture {};

TEST_F(PnpHeldTest, HeldRequestsReturnInOrderAndACancelledOneLeavesTheQueue) {
  AddDevice();
  ASSERT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  HANDLE a = Open(), b = Open();
  auto first = StartRead(a);
  auto cancelled = StartRead(b);
  auto last = StartRead(a);
  ASSERT_FALSE(first->Finished() || cancelled->Finished() || last->Finished());
  ClearLog();
  ASSERT_EQ(sim::kernel::CancelIo(b), STATUS_SUCCESS);
  EXPECT_EQ(cancelled->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(first->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(last->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Log(), (std::vector<std::string>{"Read", "Read"}));
  EXPECT_EQ(control.ReadsServed, 2);
}

}  // namespace
