// The PnP manager builds, enumerates and tears down device stacks in the order Windows
// uses, keeps the Enum and Class keys, and runs removal, surprise removal, rebalance and
// eject as the drivers expect them.
#include <gtest/gtest.h>

#include "image.h"
#include "io.h"
#include "kernel_fixture.h"
#include "pnp.h"
#include "pnp_test_drivers.h"
#include "registry.h"

namespace {

using namespace sim::kernel;
using Strings = std::vector<std::string>;

class PnpTest : public pnptest::PnpFixture {
 protected:
  std::string PdoName(DeviceNode* n) { return InfoOf(n->pdo)->name; }
};

TEST_F(PnpTest, BusAndChildStacksBuildInOrder) {
  StartBus();
  Strings expected = {
      "tbus AddDevice", "tbus START",
      // Child A: the function driver, then its upper filter; START enters at the top.
      "tfunc AddDevice", "tfilt AddDevice", "tfilt START", "tfunc START", "childA START",
      "tfunc AddDevice", "tfilt AddDevice", "tfilt START", "tfunc START", "childB START",
  };
  EXPECT_EQ(pnptest::Log(), expected);
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  DeviceNode* b = Child("SIMBUS\\CHILD_B");
  ASSERT_TRUE(a && b);
  for (DeviceNode* n : {a, b}) {
    EXPECT_EQ(n->state, NodeState::Started);
    pnp::Status s = pnp::NodeStatus(n);
    EXPECT_TRUE(s.status & pnp::kDnStarted);
    EXPECT_EQ(s.problem, 0u);
    EXPECT_EQ(pnp::StackOf(n).size(), 3u);  // PDO, tfunc, tfilt
  }
}

TEST_F(PnpTest, EnumKeysAndDriverKeysAreWritten) {
  DeviceNode* bus = StartBus();
  EXPECT_EQ(bus->instancePath, "ROOT\\SIMBUS\\0000");
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  ASSERT_TRUE(a);
  // The bus does not promise unique instance ids: the parent's prefix makes them unique.
  EXPECT_EQ(a->instancePath.rfind("SIMBUS\\CHILD_A\\", 0), 0u);
  EXPECT_NE(a->instancePath, "SIMBUS\\CHILD_A\\1");
  EXPECT_EQ(pnp::NodeByInstancePath(a->instancePath), a);
  std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + a->instancePath;
  EXPECT_EQ(registry::GetMultiString(key, "HardwareID"), (Strings{"SIMBUS\\CHILD_A", "CHILD_A"}));
  EXPECT_EQ(registry::GetMultiString(key, "CompatibleIDs"), (Strings{"SIMBUS\\CHILD"}));
  EXPECT_EQ(registry::GetString(key, "Service"), "tfunc");
  EXPECT_EQ(registry::GetString(key, "DeviceDesc"), "Port A");
  EXPECT_EQ(registry::GetString(key, "Mfg"), "Test");
  EXPECT_EQ(registry::GetDword(key, "ConfigFlags"), 0u);
  auto driver = registry::GetString(key, "Driver");
  ASSERT_TRUE(driver);
  std::string drvKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + *driver;
  EXPECT_EQ(registry::GetString(drvKey, "MatchingDeviceId"), "SIMBUS\\CHILD_A");
  // Child B matched by its compatible id and got the next driver key of the class.
  DeviceNode* b = Child("SIMBUS\\CHILD_B");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->driverKey.substr(0, 39), a->driverKey.substr(0, 39));
  EXPECT_NE(b->driverKey, a->driverKey);
  EXPECT_EQ(registry::GetString("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + b->driverKey,
                                "MatchingDeviceId"),
            "SIMBUS\\CHILD");
}

TEST_F(PnpTest, Win98PlatformKeepsDriverKeysUnderServicesClass) {
  pnp::Shutdown();
  BootOptions options;
  options.win98Registry = true;
  Boot(options);
  pnptest::Install();
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->driverKey, "Ports\\0000");
  EXPECT_EQ(registry::GetString("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\Ports\\0000",
                                "MatchingDeviceId"),
            "SIMBUS\\CHILD_A");
}

TEST_F(PnpTest, DeviceWithoutDriverGetsProblem28UntilInstalled) {
  DeviceNode* n = pnp::CreateRootDevice("NODRIVER");
  pnp::WaitIdle();
  EXPECT_EQ(n->state, NodeState::NoDriver);
  EXPECT_EQ(pnp::NodeStatus(n).problem, pnp::kProbFailedInstall);
  pnp::InstallDriverRecord({"NODRIVER", "tbus", "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "", "", "", {}, {}});
  pnp::ReenumerateDriverless();
  pnp::WaitIdle();
  EXPECT_EQ(n->state, NodeState::Started);
  EXPECT_EQ(pnp::NodeStatus(n).problem, 0u);
}

struct ProblemCase {
  const char* name;
  pnptest::Fault fault;
  bool afterStart;  // the fault shows only when the device state is queried again
  ULONG problem;
  NTSTATUS status;
};

const ProblemCase kProblems[] = {
    {"FailedStart", pnptest::Fault::FailStart, false, pnp::kProbFailedStart, STATUS_DEVICE_NOT_READY},
    {"FailedAddDevice", pnptest::Fault::FailAdd, false, pnp::kProbFailedAdd, STATUS_INSUFFICIENT_RESOURCES},
    {"ReportsFailed", pnptest::Fault::ReportFailed, true, pnp::kProbFailedPostStart, STATUS_SUCCESS},
};

class PnpProblemTest : public PnpTest, public ::testing::WithParamInterface<ProblemCase> {};

TEST_P(PnpProblemTest, FailingDeviceKeepsItsProblemWithNoStack) {
  const ProblemCase& c = GetParam();
  if (!c.afterStart) pnptest::gFault = c.fault;
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  ASSERT_TRUE(a);
  if (c.afterStart) {
    ASSERT_EQ(a->state, NodeState::Started);
    pnptest::gFault = c.fault;
    IoInvalidateDeviceState(a->pdo);
    pnp::WaitIdle();
  }
  pnp::Status s = pnp::NodeStatus(a);
  EXPECT_EQ(s.problem, c.problem);
  EXPECT_EQ(s.problemStatus, c.status);
  EXPECT_TRUE(s.status & pnp::kDnHasProblem);
  EXPECT_FALSE(s.status & pnp::kDnStarted);
  EXPECT_EQ(pnp::StackOf(a).size(), 1u);  // only the PDO is left
  pnptest::gFault = pnptest::Fault::None;
}

INSTANTIATE_TEST_SUITE_P(Problems, PnpProblemTest, ::testing::ValuesIn(kProblems),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpTest, DisabledDeviceStaysDownUntilEnabled) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  ASSERT_EQ(pnp::Disable(a), STATUS_SUCCESS);
  EXPECT_EQ(pnp::NodeStatus(a).problem, pnp::kProbDisabled);
  EXPECT_EQ(pnp::StackOf(a).size(), 1u);
  std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + a->instancePath;
  EXPECT_EQ(registry::GetDword(key, "ConfigFlags"), 1u);
  EXPECT_EQ(pnp::Enable(a), STATUS_SUCCESS);
  EXPECT_EQ(a->state, NodeState::Started);
  EXPECT_EQ(pnp::NodeStatus(a).problem, 0u);
  EXPECT_EQ(registry::GetDword(key, "ConfigFlags"), 0u);
}

TEST_F(PnpTest, OrderlyRemovalGoesChildrenFirstAndUnloadsDrivers) {
  DeviceNode* bus = StartBus();
  pnptest::ClearLog();
  ASSERT_EQ(pnp::QueryRemoveAndRemove(bus), STATUS_SUCCESS);
  Strings expected = {
      "tfilt QUERY_REMOVE", "tfunc QUERY_REMOVE", "childA QUERY_REMOVE",
      "tfilt QUERY_REMOVE", "tfunc QUERY_REMOVE", "childB QUERY_REMOVE",
      "tbus QUERY_REMOVE",
      "tfilt REMOVE", "tfunc REMOVE", "childA REMOVE",
      "tfilt REMOVE", "tfunc REMOVE", "childB REMOVE",
      "tfunc Unload", "tfilt Unload",
      "tbus REMOVE", "tbus Unload",
  };
  EXPECT_EQ(pnptest::Log(), expected);
  EXPECT_EQ(bus->state, NodeState::Removed);
  EXPECT_EQ(Child("SIMBUS\\CHILD_A"), nullptr);
  EXPECT_TRUE(LoadedDriver("tfunc") == nullptr);
}

struct VetoCase {
  const char* name;
  bool openHandle;
  pnptest::Fault fault;
  NTSTATUS expected;
};

class PnpVetoTest : public PnpTest, public ::testing::WithParamInterface<VetoCase> {};

TEST_P(PnpVetoTest, VetoedRemovalCancelsAndKeepsTheDevices) {
  const VetoCase& c = GetParam();
  DeviceNode* bus = StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  HANDLE h = nullptr;
  if (c.openHandle) {
    ASSERT_EQ(OpenFile(PdoName(a), GENERIC_READ, KernelMode, nullptr, 0, &h), STATUS_SUCCESS);
  }
  pnptest::gFault = c.fault;
  pnptest::ClearLog();
  EXPECT_EQ(pnp::QueryRemoveAndRemove(bus), c.expected);
  Strings log = pnptest::Log();
  // Nothing is removed after a veto.
  for (const std::string& e : log) EXPECT_FALSE(e.size() > 7 && e.compare(e.size() - 7, 7, " REMOVE") == 0) << e;
  if (!c.openHandle) {
    // The driver that failed the query and the filter above it are told to cancel.
    EXPECT_NE(std::find(log.begin(), log.end(), "tfilt CANCEL_REMOVE"), log.end());
  }
  EXPECT_EQ(a->state, NodeState::Started);
  EXPECT_EQ(bus->state, NodeState::Started);
  pnptest::gFault = pnptest::Fault::None;
  if (h) CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Vetoes, PnpVetoTest,
                         ::testing::Values(VetoCase{"OpenHandle", true, pnptest::Fault::None, STATUS_DEVICE_BUSY},
                                           VetoCase{"DriverFailsQuery", false, pnptest::Fault::VetoQueryRemove,
                                                    STATUS_UNSUCCESSFUL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpTest, SurpriseRemovalWaitsForTheLastHandle) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  std::string path = a->instancePath;
  HANDLE h;
  ASSERT_EQ(OpenFile(PdoName(a), GENERIC_READ, KernelMode, nullptr, 0, &h), STATUS_SUCCESS);
  pnptest::ClearLog();
  pnptest::UnplugChild(0);
  pnp::WaitIdle();
  EXPECT_EQ(pnptest::Log(), (Strings{"tfilt SURPRISE_REMOVAL", "tfunc SURPRISE_REMOVAL", "childA SURPRISE_REMOVAL"}));
  EXPECT_EQ(a->state, NodeState::SurpriseRemoved);
  pnptest::ClearLog();
  CloseHandle(h);
  pnp::WaitIdle();
  EXPECT_EQ(pnptest::Log(), (Strings{"tfilt REMOVE", "tfunc REMOVE", "childA REMOVE"}));
  EXPECT_EQ(pnp::NodeByInstancePath(path), nullptr);
  EXPECT_NE(Child("SIMBUS\\CHILD_B"), nullptr);
}

TEST_F(PnpTest, RebalanceStopsAndRestarts) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  pnptest::ClearLog();
  EXPECT_EQ(pnp::Rebalance(a), STATUS_SUCCESS);
  EXPECT_EQ(pnptest::Log(), (Strings{"tfilt QUERY_STOP", "tfunc QUERY_STOP", "childA QUERY_STOP", "tfilt STOP",
                                     "tfunc STOP", "childA STOP", "tfilt START", "tfunc START", "childA START"}));
  EXPECT_EQ(a->state, NodeState::Started);
}

TEST_F(PnpTest, EjectRemovesTheDeviceAndTheBusDropsIt) {
  StartBus();
  DeviceNode* a = Child("SIMBUS\\CHILD_A");
  std::string path = a->instancePath;
  pnptest::ClearLog();
  IoRequestDeviceEject(a->pdo);
  pnp::WaitIdle();
  EXPECT_EQ(pnptest::Log(), (Strings{"tfilt QUERY_REMOVE", "tfunc QUERY_REMOVE", "childA QUERY_REMOVE", "tfilt EJECT",
                                     "tfunc EJECT", "childA EJECT", "tfilt REMOVE", "tfunc REMOVE", "childA REMOVE"}));
  EXPECT_EQ(pnp::NodeByInstancePath(path), nullptr);
}

}  // namespace
