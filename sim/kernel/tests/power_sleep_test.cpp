// The power manager takes the device tree to sleep and back in the order drivers rely on,
// serialises device power IRPs per device until PoStartNextPowerIrp, and completes or
// cancels wait-wake requests.
#include <gtest/gtest.h>

#include <algorithm>

#include "pnp.h"
#include "pnp_test_drivers.h"
#include "power.h"

namespace {

using namespace sim::kernel;
using Strings = std::vector<std::string>;

class PowerTest : public pnptest::PnpFixture {};

Strings ChildSleep(const std::string& child, const char* s, const char* d) {
  return {"tfilt SET " + std::string(s), "tfunc SET " + std::string(s), child + " SET " + s,
          "tfilt SET " + std::string(d), "tfunc SET " + std::string(d), child + " SET " + d};
}

TEST_F(PowerTest, SleepGoesChildrenFirstAndWakeParentsFirst) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  pnptest::ClearLog();
  ASSERT_EQ(power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  Strings expected = {"tfilt QUERY S3", "tfunc QUERY S3", "childB QUERY S3",
                      "tfilt QUERY S3", "tfunc QUERY S3", "childA QUERY S3", "tbus QUERY S3"};
  for (auto& part : {ChildSleep("childB", "S3", "D3"), ChildSleep("childA", "S3", "D3"), Strings{"tbus SET S3"}})
    expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(pnptest::Log(), expected);
  EXPECT_EQ(power::CurrentSystemState(), PowerSystemSleeping3);
  EXPECT_EQ(power::DeviceState(a->pdo), PowerDeviceD3);

  pnptest::ClearLog();
  ASSERT_EQ(power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  expected = {"tbus SET S0"};
  for (auto& part : {ChildSleep("childA", "S0", "D0"), ChildSleep("childB", "S0", "D0")})
    expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(pnptest::Log(), expected);
  EXPECT_EQ(power::DeviceState(a->pdo), PowerDeviceD0);
}

TEST_F(PowerTest, VetoedQueryAbortsTheSleepAndReturnsToS0) {
  StartBus();
  pnptest::gFault = pnptest::Fault::VetoQueryPower;
  pnptest::ClearLog();
  EXPECT_EQ(power::SetSystemPowerState(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(power::CurrentSystemState(), PowerSystemWorking);
  Strings log = pnptest::Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "tfunc SET S3"), 0);
  // The stack that got the query hears the return to the working state.
  EXPECT_EQ(std::count(log.begin(), log.end(), "tfunc SET S0"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "tbus QUERY S3"), 0);
}

int gCallbacks = 0;
NTSTATUS gLastStatus = STATUS_PENDING;
void CountCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK io) {
  gCallbacks++;
  gLastStatus = io->Status;
}

TEST_F(PowerTest, DevicePowerIrpsWaitForPoStartNextPowerIrp) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  pnptest::gFault = pnptest::Fault::HoldDevicePower;
  pnptest::ClearLog();
  gCallbacks = 0;
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  ASSERT_EQ(PoRequestPowerIrp(a->pdo, IRP_MN_SET_POWER, d2, CountCallback, nullptr, nullptr), STATUS_PENDING);
  ASSERT_EQ(PoRequestPowerIrp(a->pdo, IRP_MN_SET_POWER, d2, CountCallback, nullptr, nullptr), STATUS_PENDING);
  pnp::WaitIdle();
  auto delivered = [] {
    Strings log = pnptest::Log();
    return std::count(log.begin(), log.end(), "tfunc SET D2");
  };
  EXPECT_EQ(delivered(), 1);  // the second waits at tfunc until the first is started on
  ASSERT_TRUE(pnptest::ReleaseHeldPower());
  pnp::WaitIdle();
  EXPECT_EQ(gCallbacks, 1);
  EXPECT_EQ(delivered(), 2);
  ASSERT_TRUE(pnptest::ReleaseHeldPower());
  pnp::WaitIdle();
  EXPECT_EQ(gCallbacks, 2);
  EXPECT_EQ(gLastStatus, STATUS_SUCCESS);
  EXPECT_EQ(power::DeviceState(a->pdo), PowerDeviceD2);
}

struct WakeCase {
  const char* name;
  void (*end)(DeviceNode* bus);
  NTSTATUS expected;
};

const WakeCase kWakeCases[] = {
    {"BusSignalsWake", [](DeviceNode* bus) { EXPECT_TRUE(pnp::SignalWake(bus)); }, STATUS_SUCCESS},
    {"CancelledOnWake",
     [](DeviceNode*) {
       ASSERT_EQ(power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
       ASSERT_EQ(power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
     },
     STATUS_CANCELLED},
    {"CancelledOnRemoval", [](DeviceNode* bus) { ASSERT_EQ(pnp::QueryRemoveAndRemove(bus), STATUS_SUCCESS); },
     STATUS_CANCELLED},
};

class WaitWakeTest : public pnptest::PnpFixture, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WaitWakeTest, PendsUntilCompletedOrCancelled) {
  DeviceNode* bus = StartBus();
  gCallbacks = 0;
  gLastStatus = STATUS_PENDING;
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  ASSERT_EQ(PoRequestPowerIrp(bus->pdo, IRP_MN_WAIT_WAKE, s3, CountCallback, nullptr, nullptr), STATUS_PENDING);
  pnp::WaitIdle();
  EXPECT_EQ(gCallbacks, 0);
  EXPECT_EQ(power::PendingWaitWakes(bus), 1);
  GetParam().end(bus);
  pnp::WaitIdle();
  EXPECT_EQ(gCallbacks, 1);
  EXPECT_EQ(gLastStatus, GetParam().expected);
  EXPECT_EQ(power::PendingWaitWakes(bus), 0);
}

INSTANTIATE_TEST_SUITE_P(WaitWake, WaitWakeTest, ::testing::ValuesIn(kWakeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
