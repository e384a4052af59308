// The hub's PDO as the PnP manager meets it: the device node a plugged phone
// gets (ids, text, capabilities, problem 28 without a driver), the answers to
// PnP requests sent straight to the PDO, and removal that keeps the PDO of a
// device still on its port.
#include <cstring>
#include <functional>
#include <optional>

#include "kernel.h"
#include "registry.h"
#include "usb/tests/hub_fixture.h"

namespace sim::usb::testing {
namespace {

using sim::kernel::DeviceNode;
using sim::kernel::NodeState;
namespace pnp = sim::kernel::pnp;

class HubPnp : public HubTest {
 protected:
  IO_STATUS_BLOCK SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr) {
    return pnp::SendIrpAndWait(hub->Pdo(0), IRP_MJ_PNP, minor, setup);
  }
};

TEST_F(HubPnp, PluggedPhoneWithoutDriverGetsTheHubsIdsAndProblem28) {
  const struct Case {
    const char* what;
    std::optional<std::string> serial;
    bool uniqueId;
  } cases[] = {
      {"serial number", std::string("356938035643809"), true},
      {"no serial number", std::nullopt, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    phone::PhoneDescription d;
    d.serialNumber = k.serial;
    Plug(d);
    DeviceNode* n = PhoneNode();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->parent, hub->Node());
    EXPECT_EQ(n->state, NodeState::NoDriver);
    EXPECT_EQ(pnp::NodeStatus(n).problem, pnp::kProbFailedInstall);
    EXPECT_EQ(n->hardwareIds,
              (std::vector<std::string>{"USB\\VID_0FA7&PID_5E19&REV_0100", "USB\\VID_0FA7&PID_5E19"}));
    EXPECT_EQ(n->compatibleIds, Port().Identity().compatibleIds);
    ASSERT_EQ(n->compatibleIds.size(), 3u);
    EXPECT_EQ(n->compatibleIds[2].rfind("USB\\Class_", 0), 0u);
    EXPECT_EQ(n->description, "Q-93K");
    EXPECT_EQ(n->location, "Port_#0001.Hub_#0001");
    EXPECT_EQ(n->address, 1u);
    EXPECT_EQ(n->uiNumber, 1u);
    EXPECT_EQ(n->uniqueId, k.uniqueId);
    if (k.serial) {
      EXPECT_EQ(n->instancePath, "USB\\VID_0FA7&PID_5E19\\" + *k.serial);
    } else {
      // Made unique under the hub by the PnP manager, ending in the port number.
      EXPECT_EQ(n->instancePath.rfind("USB\\VID_0FA7&PID_5E19\\", 0), 0u);
      EXPECT_EQ(n->instancePath.back(), '1');
      EXPECT_EQ(n->instancePath.find("356938035643809"), std::string::npos);
    }
    const std::string enumKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + n->instancePath;
    const ULONG caps = sim::kernel::registry::GetDword(enumKey, "Capabilities").value_or(0);
    EXPECT_EQ(caps & 0x4, 0x4u) << "Removable";
    EXPECT_EQ(caps & 0x80, 0x80u) << "SurpriseRemovalOK";
    EXPECT_EQ((caps & 0x10) != 0, k.uniqueId) << "UniqueID";
    Port().Unplug();
    hub->Settle();
    EXPECT_EQ(pnp::NodeByInstancePath(n->instancePath), nullptr);
    EXPECT_EQ(hub->Pdo(0), nullptr);
  }
}

TEST_F(HubPnp, TwoPhonesWithOneSerialNumberGetTwoNodes) {
  Plug();
  auto twin = std::make_shared<phone::Q93KPhone>(phone::PhoneDescription{});
  ASSERT_TRUE(hc->Port(1).Plug(twin));
  hub->Settle();
  DeviceNode* first = hub->DeviceNodeOf(0);
  DeviceNode* second = hub->DeviceNodeOf(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->uniqueId);
  EXPECT_FALSE(second->uniqueId);
  EXPECT_NE(first->instancePath, second->instancePath);
  EXPECT_EQ(second->location, "Port_#0002.Hub_#0001");
}

TEST_F(HubPnp, DeviceAttachedBeforeTheHubCameUpIsPresented) {
  hub.reset();
  phone = std::make_shared<phone::Q93KPhone>(phone::PhoneDescription{});
  ASSERT_TRUE(Port().Plug(phone));
  hub = std::make_unique<RootHub>(*hc);
  ASSERT_NE(hub->Node(), nullptr);
  EXPECT_EQ(hub->Node()->state, NodeState::Started);
  ASSERT_NE(PhoneNode(), nullptr);
  EXPECT_EQ(PhoneNode()->parent, hub->Node());
  EXPECT_EQ(PhoneNode()->hardwareIds.back(), "USB\\VID_0FA7&PID_5E19");
}

TEST_F(HubPnp, CapabilitiesFollowTheRemoteWakeupBit) {
  for (bool wake : {true, false}) {
    SCOPED_TRACE(wake);
    phone::PhoneDescription d;
    d.remoteWakeup = wake;
    Plug(d);
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof c;
    c.Version = 1;
    c.Address = c.UINumber = 0xFFFFFFFF;
    ASSERT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES,
                      [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &c; })
                  .Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(c.Removable);
    EXPECT_TRUE(c.SurpriseRemovalOK);
    EXPECT_TRUE(c.DeviceD2);
    EXPECT_EQ(bool(c.WakeFromD2), wake);
    EXPECT_EQ(c.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(c.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(c.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(c.DeviceWake, wake ? PowerDeviceD2 : PowerDeviceUnspecified);
    EXPECT_EQ(c.SystemWake, wake ? PowerSystemSleeping3 : PowerSystemUnspecified);
    EXPECT_EQ(c.Address, 1u);
    Port().Unplug();
    hub->Settle();
  }
}

TEST_F(HubPnp, RequestsAnsweredByThePdo) {
  Plug();
  PDEVICE_OBJECT pdo = hub->Pdo(0);

  IO_STATUS_BLOCK r = SendPnp(IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(r.Status, STATUS_SUCCESS);
  auto* bus = reinterpret_cast<PPNP_BUS_INFORMATION>(r.Information);
  const GUID usb = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};
  EXPECT_EQ(std::memcmp(&bus->BusTypeGuid, &usb, sizeof usb), 0);
  EXPECT_EQ(bus->LegacyBusType, 15u);  // PNPBus
  ExFreePool(bus);

  r = SendPnp(IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  ASSERT_EQ(r.Status, STATUS_SUCCESS);
  auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
  ASSERT_EQ(rel->Count, 1u);
  EXPECT_EQ(rel->Objects[0], pdo);
  ObDereferenceObject(rel->Objects[0]);
  ExFreePool(rel);

  // A PDO completes what it does not handle with the status it came with.
  const struct {
    UCHAR minor;
    std::function<void(PIO_STACK_LOCATION)> setup;
  } untouched[] = {
      {IRP_MN_QUERY_DEVICE_RELATIONS,
       [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; }},
      {IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryContainerID; }},
      {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr},
      {IRP_MN_QUERY_INTERFACE, nullptr},
      {0xFE, nullptr},
  };
  for (const auto& k : untouched) {
    SCOPED_TRACE(int(k.minor));
    r = SendPnp(k.minor, k.setup);
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Information, 0u);
  }
}

TEST_F(HubPnp, RemovalKeepsThePdoWhileTheDeviceIsAttached) {
  InstallPassThroughDriver();
  Plug();
  DeviceNode* n = PhoneNode();
  ASSERT_NE(n, nullptr);
  ASSERT_EQ(n->state, NodeState::Started);
  PDEVICE_OBJECT pdo = hub->Pdo(0);
  // Disabled: the stack is removed, the PDO stays for the next start.
  ASSERT_EQ(pnp::Disable(n), STATUS_SUCCESS);
  EXPECT_EQ(hub->Pdo(0), pdo);
  ASSERT_EQ(pnp::Enable(n), STATUS_SUCCESS);
  EXPECT_EQ(n->state, NodeState::Started);
  EXPECT_EQ(PassThroughLog(), (std::vector<std::string>{"START", "REMOVE", "START"}));
  // Re-started on the same PDO, the device still answers.
  client = std::make_unique<UrbClient>(Port(), pdo);
  Bytes d;
  EXPECT_EQ(client->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, d), STATUS_SUCCESS);
  EXPECT_EQ(d.size(), 18u);
}

}  // namespace
}  // namespace sim::usb::testing
