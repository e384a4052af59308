// The bus driver's spine in the simulated PC: unit numbers of bus devices over plugs and
// unplugs of two phones, and every pool allocation of the driver failed in turn while a
// phone is plugged in, each ending in a clean start or a clean failure and a clean unplug.
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "bus_fixture.h"
#include "pool.h"

namespace {

using namespace bus_test;
namespace pool = sim::kernel::pool;

const char kImage[] = "Q93Kus.sys";

// The name of the bus FDO the driver attached above the hub's PDO on `port`, empty when
// the port presents nothing or nothing is attached.
std::string FdoName(sim::machine::Machine& m, int port) {
  PDEVICE_OBJECT pdo = m.Hub().Pdo(port);
  if (!pdo || !pdo->AttachedDevice) return "";
  return sim::kernel::InfoOf(pdo->AttachedDevice)->name;
}

std::shared_ptr<Q93KPhone> PhoneWithSerial(const char* serial) {
  PhoneDescription d;
  d.serialNumber = serial;
  return std::make_shared<Q93KPhone>(d);
}

TEST_F(BusDriver, UnitNumbersAreNotReusedWhileTheDriverIsLoaded) {
  struct Step {
    const char* what;
    bool plug;  // else unplug
    int port;
    const char* serial;
    const char* names[2];  // FDO names on ports 0 and 1 afterwards
  };
  const Step kSteps[] = {
      {"first phone", true, 0, "356938035643809", {"\\Device\\Q93KUsbDevice0", ""}},
      {"second phone beside it", true, 1, "356938035643810", {"\\Device\\Q93KUsbDevice0", "\\Device\\Q93KUsbDevice1"}},
      {"first phone out", false, 0, nullptr, {"", "\\Device\\Q93KUsbDevice1"}},
      // Unit 0 is free again, but the driver stayed loaded for the second phone.
      {"a phone again", true, 0, "356938035643809", {"\\Device\\Q93KUsbDevice2", "\\Device\\Q93KUsbDevice1"}},
      {"second phone out", false, 1, nullptr, {"\\Device\\Q93KUsbDevice2", ""}},
      // The last bus device gone, the driver is unloaded; a fresh load counts from 0.
      {"every phone out", false, 0, nullptr, {"", ""}},
      {"a phone after the unload", true, 1, "356938035643810", {"", "\\Device\\Q93KUsbDevice0"}},
  };
  for (const Step& s : kSteps) {
    SCOPED_TRACE(s.what);
    if (s.plug) {
      ASSERT_TRUE(machine().Plug(PhoneWithSerial(s.serial), s.port));
      DeviceNode* bus = machine().Hub().DeviceNodeOf(s.port);
      ASSERT_NE(bus, nullptr);
      EXPECT_EQ(bus->state, NodeState::Started);
      EXPECT_EQ(bus->children.size(), 3u);
    } else {
      machine().Unplug(s.port);
    }
    for (int port = 0; port < 2; port++) EXPECT_EQ(FdoName(machine(), port), s.names[port]) << "port " << port;
  }
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice1"), nullptr);
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice2"), nullptr);
  machine().Unplug(1);
}

// ---- Every allocation failure while the phone is plugged in ------------------------------

struct WalkCase {
  const char* name;
  bool win98;
  ULONG mode;
  bool client;   // a function driver on the children, so they start too
  bool lasting;  // memory stays out from the failing allocation on, until the plug is done
};

class AllocationWalk : public BusDriver, public ::testing::WithParamInterface<WalkCase> {
 protected:
  sim::machine::MachineOptions MakeOptions() override {
    sim::machine::MachineOptions options;
    options.win98 = win98_ = GetParam().win98;
    return options;
  }
  // The 98 platform reads only undecorated INF sections and wants its installation marker.
  void InstallBusInf() override {
    if (!GetParam().win98) return BusDriver::InstallBusInf();
    std::ifstream in(machine().PackageFile("RyleUsb/Q93Kus.inf"));
    std::stringstream text;
    text << in.rdbuf();
    std::string inf = text.str();
    const std::pair<const char*, const char*> kEdits[] = {
        {"$WINDOWS NT$", "$CHICAGO$"},
        {"[Q93Kus_Install.NT]", "[Q93Kus_Install]"},
        {"[Q93Kus_Install.NT.Services]", "[Q93Kus_Install.Services]"},
        {"HKR, Parameters, UsbMode, 0x00010001, 1",
         "HKR, Parameters, UsbMode, 0x00010001, 1\nHKR, Parameters, Inst98, 0x00010001, 1"},
    };
    for (const auto& [from, to] : kEdits) {
      size_t at = inf.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      inf.replace(at, strlen(from), to);
    }
    const std::string path = ::testing::TempDir() + "Q93Kus98_walk.inf";
    std::ofstream(path) << inf;
    std::string error;
    ASSERT_TRUE(machine().InstallInf(path, &error)) << error;
  }
};

// Fails the n-th allocation of the driver image while the phone is plugged in (or, with
// `lasting`, that one and every later one), for n = 1, 2, ... until the plug gets through
// without reaching the n-th. Whatever failed, the bus device ends started with what the
// registry describes, or with a start problem; the unplug finishes; the driver leaves no
// pool behind (the unload's leak check would stop the machine); nothing hangs.
TEST_P(AllocationWalk, EachFailureEndsInACleanStartOrACleanFailure) {
  const WalkCase& c = GetParam();
  if (c.client) client::Install();
  // A first plug creates the driver key; then the mode, and limits other than the defaults
  // so a value lost for want of memory shows.
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  ASSERT_EQ(Bus()->state, NodeState::Started);
  const std::string parameters = ParametersKey();
  machine().Unplug();
  reg::SetDword(parameters, "UsbMode", c.mode);
  reg::SetDword(parameters, "UpMaxKeepDataSize", 30000);
  reg::SetDword(parameters, "DownMaxKeepDataSize", 3000);
  const size_t children = c.mode == 1 ? 3 : c.mode == 2 ? 2 : 0;

  unsigned long long n = 1;
  for (;; n++) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    unsigned long long before = pool::InjectedFailures();
    if (c.lasting) pool::FailFrom(n, kImage);
    else pool::FailNth(n, kImage);
    ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
    pool::ClearFaults();
    bool injected = pool::InjectedFailures() != before;

    DeviceNode* bus = Bus();
    ASSERT_NE(bus, nullptr);
    if (bus->state == NodeState::Started) {
      // Every child the registry describes (unless the relations query itself failed); one
      // the driver could not describe or start shows its own problem.
      if (!bus->children.empty()) EXPECT_EQ(bus->children.size(), children);
      for (DeviceNode* child : bus->children) {
        if (child->state != NodeState::Started) {
          EXPECT_NE(child->problem, 0u) << child->instancePath;
          continue;
        }
        // The phone's own serial number, never the "0000" of a phone without one, so the
        // children keep their device nodes and COM ports from plug to plug. ("0" is the
        // PnP manager's own when the instance-id query itself found no memory.)
        const std::string& path = child->instancePath;
        const std::string instance = path.substr(path.rfind('\\') + 1);
        EXPECT_TRUE(instance == kSerial || instance == "0") << path;
      }
      // The limits are the registry's. (A function whose probe got no memory is refused.)
      DeviceNode* at = Child(kAtId);
      CHANNEL_BINDING record{};
      record.Kind = CHANNEL_KIND_AT;
      HANDLE handle = nullptr;
      if (at && at->state == NodeState::Started && Bind(NameOf(at), &record, &handle) == STATUS_SUCCESS) {
        CHANNEL_LIMITS limits{};
        EXPECT_EQ(record.GetLimits(record.BusDevice, &limits), 1);
        EXPECT_EQ(limits.UpMaxKeepDataSize, 30000u);
        EXPECT_EQ(limits.DownMaxKeepDataSize, 3000u);
        // A started bus has its worker: commands are taken.
        if (record.ChannelStart(record.BusDevice, 0) == 1) {
          auto* command = static_cast<PCHANNEL_BUFFER>(
              ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_HEADER_SIZE + 4, 0x74736554 /* "Test" */));
          command->Length = 3;
          command->Offset = 0;
          memcpy(command->Data, "AT\r", 3);
          LONG taken = record.SendCommand(record.BusDevice, command);
          EXPECT_EQ(taken, 1);
          if (taken != 1) ExFreePool(command);
          record.ChannelStop(record.BusDevice, 0);
        }
        sim::kernel::CloseHandle(handle);
      }
    } else {
      EXPECT_EQ(bus->state, NodeState::StartFailed);
      EXPECT_NE(bus->problem, 0u);
      EXPECT_EQ(FdoName(machine(), 0), "") << "a failed stack is torn down";
    }
    machine().Unplug();
    EXPECT_EQ(machine().Hub().Pdo(0), nullptr);
    EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0"), nullptr);
    EXPECT_EQ(pool::LeakReport(kImage), "");
    if (!injected || HasFailure()) break;
  }
  // A wrong image name would make the walk end at once, proving nothing.
  EXPECT_GT(n, 50u);
}

const WalkCase kWalks[] = {
    {"ModeOne", false, 1, true, false},
    {"ModeTwo", false, 2, true, false},
    {"ModeThree", false, 3, false, false},
    {"Win98", true, 1, true, false},
    {"ModeThreeMemoryStaysOut", false, 3, false, true},
};
INSTANTIATE_TEST_SUITE_P(Plug, AllocationWalk, ::testing::ValuesIn(kWalks),
                         [](const auto& info) { return std::string(info.param.name); });

// With children and memory that stays out, a start fails after a notification reader was
// armed, and the removal must abort that read with no pool left.
const WalkCase kLastingWalks[] = {
    {"ModeOneMemoryStaysOut", false, 1, true, true},
    {"Win98MemoryStaysOut", true, 1, true, true},
};
INSTANTIATE_TEST_SUITE_P(PlugLasting, AllocationWalk, ::testing::ValuesIn(kLastingWalks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
