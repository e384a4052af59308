// Power management of the PnP device base through the simulated power manager: a
// sleep and wake of the machine with a handle open, the idle policy at the last close,
// a vetoed sleep, and power requests meeting a removal.
#include <gtest/gtest.h>

#include "pnp_test_fixture.h"

namespace {

using pnpdev::PnpDeviceFixture;
using pnpdev::Request;
using Strings = std::vector<std::string>;

class PowerDeviceTest : public PnpDeviceFixture {
 protected:
  // The events of power IRPs and hooks, in order.
  Strings PowerLog() {
    Strings out;
    for (auto& e : Log())
      if (e.rfind("power", 0) == 0 || e.rfind("On", 0) == 0 || e == "Read") out.push_back(e);
    return out;
  }
};

TEST_F(PowerDeviceTest, SleepAndWakeHoldIoAndRedispatchItAfterTheHooks) {
  control.QueryPowerPolicy = 0x7E;  // an open handle does not veto the sleep
  AddDevice();
  HANDLE h = Open();
  ClearLog();
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(DeviceState(), PowerDeviceD3);
  auto read = StartRead(h);
  EXPECT_EQ(read->issued, STATUS_PENDING);
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceState(), PowerDeviceD0);
  Strings expected = {
      "power S qry 4", "power S set 4", "OnSystemPowerDown", "power D set 4", "OnDeviceSleep",
      "power S set 1", "OnSystemPowerUp", "power D set 1", "OnDevicePowerUp", "Read",
  };
  EXPECT_EQ(PowerLog(), expected);
}

TEST_F(PowerDeviceTest, OpenHandleVetoesSleepUnderTheDefaultQueryPolicy) {
  AddDevice();
  HANDLE h = Open();
  ClearLog();
  EXPECT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
  EXPECT_EQ(DeviceState(), PowerDeviceD0);
  EXPECT_EQ(Count("power D set 4"), 0);
  EXPECT_EQ(StartRead(h)->Wait(), STATUS_SUCCESS);
}

struct IdleCase {
  const char* name;
  ULONG powerPolicy;
  DEVICE_POWER_STATE afterLastClose;
};

const IdleCase kIdleCases[] = {
    {"DefaultsStayInD0", kPnpTestKeep, PowerDeviceD0},
    {"IdleBitGoesToD3", 0xE9, PowerDeviceD3},
};

class PowerIdleTest : public PowerDeviceTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(PowerIdleTest, LastCloseFollowsThePolicy) {
  control.PowerPolicy = GetParam().powerPolicy;
  AddDevice();
  HANDLE a = Open(), b = Open();
  Close(a);
  EXPECT_EQ(DeviceState(), PowerDeviceD0);  // one handle is still open
  Close(b);
  EXPECT_EQ(DeviceState(), GetParam().afterLastClose);
  // Opening again brings the device back (power-up at open is in both policies).
  HANDLE c = Open();
  EXPECT_EQ(DeviceState(), PowerDeviceD0);
  EXPECT_EQ(StartRead(c)->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(Count("OnDevicePowerUp above PASSIVE_LEVEL"), 0);
}

INSTANTIATE_TEST_SUITE_P(Policies, PowerIdleTest, ::testing::ValuesIn(kIdleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A machine asleep while the device is unplugged, woken with the device gone; and power
// requests reaching a device after its surprise removal: no hang, no verifier report.
TEST_F(PowerDeviceTest, RemovalDuringSleepAndPowerRequestsAfterRemoval) {
  control.QueryPowerPolicy = 0x7E;
  AddDevice();
  HANDLE h = Open();
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  auto held = StartRead(h);
  sim::kernel::pnp::SurpriseRemove(node);
  sim::kernel::pnp::WaitIdle();
  EXPECT_EQ(held->Wait(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_DELETE_PENDING);
  // A system set-power is never failed, removed device or not.
  EXPECT_EQ(Send(IRP_MJ_POWER, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  Close(h);
  sim::kernel::pnp::WaitIdle();
  EXPECT_EQ(Count("Remove"), 1);
  EXPECT_EQ(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr);
}

}  // namespace
