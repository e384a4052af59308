// The bus driver in the simulated PC: Q93Kus.inf installed, the phone plugged in, the
// children the PnP manager builds in each mode, starts refused for bad descriptor sets,
// and bindings made through IRP_MJ_CREATE with a record on the children and the bus FDO.
#include "bus_fixture.h"

namespace {

using namespace bus_test;

TEST_F(BusDriver, ModeOneReportsTheThreeChildrenAndUnplugRemovesThem) {
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  ASSERT_NE(Bus(), nullptr);
  EXPECT_EQ(Bus()->service, "Q93Kus");
  EXPECT_EQ(Bus()->state, NodeState::Started);
  EXPECT_EQ(ChildIds(), (std::vector<std::string>{kModemId, kObexId, kAtId}));

  struct Expected {
    const char* id;
    const char* tail;
    const char* text;
  };
  const Expected kChildren[] = {
      {kModemId, "VID_0FA7&PID_5E19&MODEM", "RYLE Q-93K Modem"},
      {kObexId, "VID_0FA7&PID_5E19&OBEX", "RYLE Q-93K OBEX"},
      {kAtId, "VID_0FA7&PID_5E19&AT", "RYLE Q-93K AT Command Port"},
  };
  std::vector<std::string> paths;
  for (const Expected& e : kChildren) {
    SCOPED_TRACE(e.id);
    DeviceNode* c = Child(e.id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->hardwareIds, (std::vector<std::string>{e.id, e.tail}));
    EXPECT_EQ(c->enumerator, "KOVARA_RYLE");
    EXPECT_EQ(c->instancePath, std::string(e.id) + "\\" + kSerial);
    EXPECT_EQ(c->description, e.text);
    EXPECT_TRUE(c->uniqueId);
    // No function driver is installed yet: the stack is the bare PDO.
    EXPECT_EQ(c->state, NodeState::NoDriver);
    EXPECT_EQ(sim::kernel::pnp::StackOf(c).size(), 1u);
    paths.push_back(c->instancePath);
  }

  machine().Unplug();
  EXPECT_EQ(machine().Hub().Pdo(0), nullptr);
  for (const std::string& p : paths) EXPECT_EQ(sim::kernel::pnp::NodeByInstancePath(p), nullptr) << p;
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0"), nullptr);
}

TEST_F(BusDriver, EachModeGivesItsChildren) {
  struct Case {
    ULONG mode;
    std::vector<std::string> children;
  };
  const Case kCases[] = {
      {2, {kModemId, kAtId}},
      {3, {}},
      {1, {kModemId, kObexId, kAtId}},
  };
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mode);
    Restart(c.mode);
    EXPECT_EQ(Bus()->state, NodeState::Started);
    EXPECT_EQ(ChildIds(), c.children);
  }
  machine().Unplug();
}

TEST_F(BusDriver, ARestartAfterStopKeepsTheChildrenAndAnEjectedChildIsNotReportedAgain) {
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  std::vector<PDEVICE_OBJECT> before;
  for (DeviceNode* c : Bus()->children) before.push_back(c->pdo);
  ASSERT_EQ(before.size(), 3u);

  // Stop and start again: the configuration is activated anew, nothing parsed or created twice.
  ASSERT_EQ(sim::kernel::pnp::Rebalance(Bus()), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->state, NodeState::Started);
  std::vector<PDEVICE_OBJECT> after;
  for (DeviceNode* c : Bus()->children) after.push_back(c->pdo);
  EXPECT_EQ(after, before);

  ASSERT_EQ(sim::kernel::pnp::Eject(Child(kObexId)), STATUS_SUCCESS);
  ASSERT_EQ(sim::kernel::pnp::Rebalance(Bus()), STATUS_SUCCESS);
  EXPECT_EQ(ChildIds(), (std::vector<std::string>{kModemId, kAtId}));
  machine().Unplug();
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0"), nullptr);
}

TEST_F(BusDriver, APhoneWithoutSerialNumberGivesInstance0000) {
  PhoneDescription d;
  d.serialNumber.reset();
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>(d)));
  ASSERT_EQ(Bus()->children.size(), 3u);
  for (DeviceNode* c : Bus()->children) {
    // Not unique: the PnP manager puts the parent's prefix before the bus's "0000".
    const std::string& path = c->instancePath;
    EXPECT_EQ(path.substr(0, c->hardwareIds.front().size() + 1), c->hardwareIds.front() + "\\");
    EXPECT_EQ(path.substr(path.size() - 5), "&0000");
    EXPECT_FALSE(c->uniqueId);
  }
  machine().Unplug();
}

TEST_F(BusDriver, BadDescriptorSetsFailTheStartAndUnplugCleanly) {
  struct Case {
    DescriptorDefect defect;
    int slot;
  };
  const Case kCases[] = {
      {DescriptorDefect::MissingSlot, 2},         {DescriptorDefect::WrongFunctionId, 1},
      {DescriptorDefect::UnknownEndpointType, 0}, {DescriptorDefect::TruncatedConfiguration, 1},
      {DescriptorDefect::ZeroLengthDescriptor, 1}, {DescriptorDefect::UnionInterfaceOutOfRange, 2},
      {DescriptorDefect::TooManyEndpointsClaimed, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(int(c.defect));
    PhoneDescription d;
    d.defect = c.defect;
    d.defectSlot = c.slot;
    ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>(d)));
    ASSERT_NE(Bus(), nullptr);
    EXPECT_EQ(Bus()->state, NodeState::StartFailed);
    EXPECT_EQ(Bus()->problem, sim::kernel::pnp::kProbFailedStart);
    EXPECT_TRUE(Bus()->children.empty());
    machine().Unplug();
    EXPECT_EQ(machine().Hub().Pdo(0), nullptr);
  }
  // A good phone on the same port afterwards starts as usual.
  PhoneDescription good;
  good.defect = DescriptorDefect::DataAltSettingOnly;
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>(good)));
  EXPECT_EQ(Bus()->state, NodeState::Started);
  machine().Unplug();
}

TEST_F(BusDriver, ABindingThroughCreateGetsTheEntryPoints) {
  client::Install();
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  DeviceNode* at = Child(kAtId);
  DeviceNode* modem = Child(kModemId);
  ASSERT_NE(at, nullptr);
  ASSERT_NE(modem, nullptr);
  ASSERT_EQ(at->state, NodeState::Started) << "the client driver runs on the child";

  CHANNEL_BINDING record{};
  record.Kind = CHANNEL_KIND_AT;
  record.WriteModem = reinterpret_cast<PCHANNEL_BUS_BUFFER_ENTRY>(1);  // the bus clears what it does not offer
  HANDLE handle = nullptr;
  ASSERT_EQ(Bind(NameOf(at), &record, &handle), STATUS_SUCCESS);
  EXPECT_EQ(record.BusDevice, at->pdo);
  EXPECT_NE(record.ChannelStart, nullptr);
  EXPECT_NE(record.ChannelStop, nullptr);
  EXPECT_NE(record.SetLineCoding, nullptr);
  EXPECT_NE(record.SetLineControl, nullptr);
  EXPECT_NE(record.SendCommand, nullptr);
  EXPECT_EQ(record.WriteModem, nullptr);
  EXPECT_EQ(record.WriteObex, nullptr);
  EXPECT_EQ(record.WriteExtra, nullptr);
  ASSERT_NE(record.GetLimits, nullptr);
  CHANNEL_LIMITS limits{};
  EXPECT_EQ(record.GetLimits(record.BusDevice, &limits), 1);
  EXPECT_EQ(limits.UpMaxKeepDataSize, 20480u);
  EXPECT_EQ(limits.UpHighMark, 13652u);
  EXPECT_EQ(limits.UpLowMark, 10240u);
  EXPECT_EQ(limits.DownHighMark, 13652u);
  // Another device object is not the bound one.
  EXPECT_EQ(record.GetLimits(modem->pdo, &limits), 0);

  ULONG info[4];
  EXPECT_EQ(BusInformation(handle, info), STATUS_SUCCESS);
  EXPECT_EQ(info[0], 1u);
  EXPECT_EQ(info[3], 0u) << "a child reports 0";
  EXPECT_EQ(BusInformation(handle, info, 8), STATUS_INVALID_PARAMETER);

  struct Refusal {
    const char* what;
    std::string device;
    UCHAR kind;
    NTSTATUS status;
  };
  const Refusal kRefusals[] = {
      {"second open of the AT child", NameOf(at), CHANNEL_KIND_AT, STATUS_UNSUCCESSFUL},
      {"unknown kind", NameOf(modem), 0x05, STATUS_INVALID_PARAMETER},
      {"extra kind on a child", NameOf(modem), CHANNEL_KIND_EXTRA, STATUS_INVALID_PARAMETER},
      {"the AT slot from the modem child", NameOf(modem), CHANNEL_KIND_AT, STATUS_UNSUCCESSFUL},
  };
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    CHANNEL_BINDING other{};
    other.Kind = r.kind;
    HANDLE h = nullptr;
    EXPECT_EQ(Bind(r.device, &other, &h), r.status);
  }

  // The bus FDO serves the extra function (slot 0 in mode 1), which then belongs to it.
  CHANNEL_BINDING extra{};
  extra.Kind = CHANNEL_KIND_EXTRA;
  HANDLE busHandle = nullptr;
  ASSERT_EQ(Bind("\\Device\\Q93KUsbDevice0", &extra, &busHandle), STATUS_SUCCESS);
  EXPECT_NE(extra.WriteExtra, nullptr);
  EXPECT_NE(extra.ExtraReceiveHold, nullptr);
  EXPECT_EQ(BusInformation(busHandle, info), STATUS_SUCCESS);
  EXPECT_EQ(info[0], 1u);
  EXPECT_EQ(info[3], 0xFFFFFFFFu);
  CHANNEL_BINDING modemRecord{};
  modemRecord.Kind = CHANNEL_KIND_MODEM;
  HANDLE h = nullptr;
  EXPECT_EQ(Bind(NameOf(modem), &modemRecord, &h), STATUS_UNSUCCESSFUL) << "slot 0 has its owner";

  // Close ends the open only; the same device binds again.
  EXPECT_EQ(sim::kernel::CloseHandle(handle), STATUS_SUCCESS);
  ASSERT_EQ(Bind(NameOf(at), &record, &handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::CloseHandle(handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::CloseHandle(busHandle), STATUS_SUCCESS);
  machine().Unplug();
}

TEST_F(BusDriver, AUserModeOpenOfTheBusIsNeverABinding) {
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  // What a program could pass as extended attributes: addresses of its own choosing.
  CHANNEL_BINDING forged{};
  forged.Kind = CHANNEL_KIND_EXTRA;
  HANDLE h = nullptr;
  EXPECT_EQ(Bind("\\Device\\Q93KUsbDevice0", &forged, &h, UserMode), STATUS_ACCESS_DENIED);
  EXPECT_EQ(forged.BusDevice, nullptr);
  machine().Unplug();
}

TEST_F(BusDriver, AFunctionThePhoneDidNotConfirmCannotBeBound) {
  client::Install();
  auto phone = std::make_shared<Q93KPhone>();
  // Low byte 1 but 0xFF00 or above: not a confirmation.
  sim::phone::VendorReplyFault refuse;
  refuse.refuse = true;
  refuse.refusalValue = 0xFF01;
  phone->setVendorReplyFault(sim::phone::kProbeRequest, refuse);
  ASSERT_TRUE(machine().Plug(phone));
  EXPECT_EQ(Bus()->state, NodeState::Started);
  ASSERT_NE(Child(kAtId), nullptr);
  CHANNEL_BINDING record{};
  record.Kind = CHANNEL_KIND_AT;
  HANDLE h = nullptr;
  EXPECT_EQ(Bind(NameOf(Child(kAtId)), &record, &h), STATUS_UNSUCCESSFUL);
  machine().Unplug();
}

// ---- The registry parameters, written over what the INF installed -------------------------

struct ParameterCase {
  const char* name;
  // Applied to the driver key's "Parameters" while the bus device is disabled.
  void (*edit)(const std::string& parameters);
  NTSTATUS start;  // STATUS_SUCCESS: the device starts; else the failed start's status
  std::vector<std::string> children;
  ULONG upMax, downMax;  // GetLimits on the AT child (when it exists)
  NTSTATUS bind = STATUS_SUCCESS;  // binding the AT child
};

const ParameterCase kParameterCases[] = {
    {"InfValues", [](const std::string&) {}, STATUS_SUCCESS, {kModemId, kObexId, kAtId}, 20480, 20480},
    {"UsbModeZero", [](const std::string& p) { reg::SetDword(p, "UsbMode", 0); }, STATUS_OBJECT_NAME_NOT_FOUND, {}, 0, 0},
    {"NoParametersKey", [](const std::string& p) { reg::DeleteTree(p); }, STATUS_OBJECT_NAME_NOT_FOUND, {}, 0, 0},
    {"Inst98OnNt", [](const std::string& p) { reg::SetDword(p, "Inst98", 1); }, STATUS_UNSUCCESSFUL, {}, 0, 0},
    // Children as in mode 1, but nothing is probed, so every binding is refused.
    {"OtherModeActsAsModeOneWithoutProbes", [](const std::string& p) { reg::SetDword(p, "UsbMode", 7); },
     STATUS_SUCCESS, {kModemId, kObexId, kAtId}, 20480, 20480, STATUS_UNSUCCESSFUL},
    {"KeepSizesAndTheirMarks",
     [](const std::string& p) {
       reg::SetDword(p, "UpMaxKeepDataSize", 30000);
       reg::SetDword(p, "DownMaxKeepDataSize", 3000);
     },
     STATUS_SUCCESS, {kModemId, kObexId, kAtId}, 30000, 3000},
    {"TwoByteSizeKeepsTheDefault",
     [](const std::string& p) { reg::SetBinary(p, "UpMaxKeepDataSize", {0x30, 0x75}, REG_DWORD); }, STATUS_SUCCESS,
     {kModemId, kObexId, kAtId}, 20480, 20480},
    {"DeviceInfoDataOver128Bytes",
     [](const std::string& p) {
       std::string key = p + "\\DeviceInfo\\OBEX";
       reg::DeleteTree(key);
       reg::SetString(key, "RYLE Q-93K OBEX", "KOVARA_RYLE\\" + std::string(70, 'X'));
     },
     STATUS_SUCCESS, {kModemId, kAtId}, 20480, 20480},
    {"DeviceInfoDataWithoutBackslash",
     [](const std::string& p) {
       std::string key = p + "\\DeviceInfo\\OBEX";
       reg::DeleteTree(key);
       reg::SetString(key, "RYLE Q-93K OBEX", "VID_0FA7&PID_5E19&OBEX");
     },
     STATUS_SUCCESS, {kModemId, kAtId}, 20480, 20480},
    {"DeviceInfoKeyWithoutValue",
     [](const std::string& p) {
       reg::DeleteTree(p + "\\DeviceInfo\\OBEX");
       reg::CreateKey(p + "\\DeviceInfo\\OBEX");
     },
     STATUS_SUCCESS, {kModemId, kAtId}, 20480, 20480},
};

class ParameterTable : public BusDriver, public ::testing::WithParamInterface<ParameterCase> {};

TEST_P(ParameterTable, StartChildrenAndLimitsFollowTheRegistry) {
  const ParameterCase& c = GetParam();
  client::Install();
  ASSERT_TRUE(machine().Plug(std::make_shared<Q93KPhone>()));
  ASSERT_EQ(Bus()->state, NodeState::Started);
  std::string parameters =
      "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + Bus()->driverKey + "\\Parameters";
  ASSERT_EQ(sim::kernel::pnp::Disable(Bus()), STATUS_SUCCESS);
  c.edit(parameters);
  sim::kernel::pnp::Enable(Bus());
  sim::kernel::pnp::WaitIdle();
  if (c.start != STATUS_SUCCESS) {
    sim::kernel::pnp::Status st = sim::kernel::pnp::NodeStatus(Bus());
    EXPECT_EQ(st.problem, ULONG(sim::kernel::pnp::kProbFailedStart));
    EXPECT_EQ(st.problemStatus, c.start);
    machine().Unplug();
    return;
  }
  ASSERT_EQ(Bus()->state, NodeState::Started);
  EXPECT_EQ(ChildIds(), c.children);
  DeviceNode* at = Child(kAtId);
  ASSERT_NE(at, nullptr);
  CHANNEL_BINDING record{};
  record.Kind = CHANNEL_KIND_AT;
  HANDLE handle = nullptr;
  ASSERT_EQ(Bind(NameOf(at), &record, &handle), c.bind);
  if (c.bind != STATUS_SUCCESS) {
    machine().Unplug();
    return;
  }
  CHANNEL_LIMITS limits{};
  EXPECT_EQ(record.GetLimits(record.BusDevice, &limits), 1);
  EXPECT_EQ(limits.UpMaxKeepDataSize, c.upMax);
  EXPECT_EQ(limits.UpHighMark, c.upMax / 3 * 2);
  EXPECT_EQ(limits.UpLowMark, c.upMax / 2);
  EXPECT_EQ(limits.DownMaxKeepDataSize, c.downMax);
  EXPECT_EQ(limits.DownHighMark, c.downMax / 3 * 2);
  EXPECT_EQ(limits.DownLowMark, c.downMax / 2);
  sim::kernel::CloseHandle(handle);
  machine().Unplug();
}

INSTANTIATE_TEST_SUITE_P(Registry, ParameterTable, ::testing::ValuesIn(kParameterCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
