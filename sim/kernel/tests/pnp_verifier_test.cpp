// The verifier rules of the PnP and power managers stop the machine on a driver that
// breaks them, naming the rule.
#include <gtest/gtest.h>

#include "pnp.h"
#include "pnp_test_drivers.h"
#include "power.h"

namespace {

using namespace sim::kernel;

struct RuleCase {
  const char* name;
  pnptest::Fault fault;
  void (*trigger)(DeviceNode* bus);
  const char* report;
};

void RemoveBus(DeviceNode* bus) { pnp::QueryRemoveAndRemove(bus); }
void Sleep(DeviceNode*) { power::SetSystemPowerState(PowerSystemSleeping3); }
void Nothing(DeviceNode*) {}

const RuleCase kRules[] = {
    {"FailedRemove", pnptest::Fault::FailRemove, RemoveBus, "PnP IRP that must not fail"},
    {"UnknownMinorTouched", pnptest::Fault::TouchUnknownMinor, Nothing, "status of a PnP IRP it does not handle"},
    {"InitializingLeftSet", pnptest::Fault::LeaveInitializing, Nothing, "DO_DEVICE_INITIALIZING still set"},
    {"NotDetachedAtRemove", pnptest::Fault::NoDetach, RemoveBus, "still attached to the stack after REMOVE_DEVICE"},
    {"SystemSetPowerFailed", pnptest::Fault::FailSystemSetPower, Sleep, "failed a system IRP_MN_SET_POWER"},
    {"ForwardWithoutStartNext", pnptest::Fault::ForwardWithoutStartNext, Sleep,
     "power IRP passed down without PoStartNextPowerIrp"},
    {"DuplicateInstancePath", pnptest::Fault::DuplicateIds, Nothing, "same instance path"},
};

class PnpRulesKept : public pnptest::PnpFixture {};

class PnpRuleTest : public pnptest::PnpFixture, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(PnpRuleTest, StopsTheMachine) {
  const RuleCase& c = GetParam();
  EXPECT_DEATH(
      {
        pnptest::gFault = c.fault;
        DeviceNode* bus = StartBus();
        c.trigger(bus);
      },
      c.report);
}

TEST_F(PnpRulesKept, WellBehavedDriversPassEveryRule) {
  DeviceNode* bus = StartBus();
  EXPECT_EQ(power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(pnp::QueryRemoveAndRemove(bus), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Rules, PnpRuleTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
