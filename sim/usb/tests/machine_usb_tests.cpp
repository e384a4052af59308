// Plugging the phone into the assembled machine: the hub presents it, the
// port can be taken only once, unplugging (by the cable or by the phone's own
// request) takes the device away, and shutdown with the phone attached is clean.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "phone/q93k_phone.h"
#include "pnp.h"
#include "usb/hub_pdo.h"
#include "usb/testing/urb_client.h"

namespace sim::usb::testing {
namespace {

using sim::kernel::NodeState;

TEST(MachineUsb, PlugUnplugAndShutdownWithThePhoneAttached) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  sim::machine::Machine m;
  m.Boot();
  auto phone = std::make_shared<phone::Q93KPhone>();
  ASSERT_TRUE(m.Plug(phone));
  EXPECT_FALSE(m.Plug(std::make_shared<phone::Q93KPhone>())) << "the port is taken";
  sim::kernel::DeviceNode* n = m.Hub().DeviceNodeOf(0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->hardwareIds.front(), "USB\\VID_0FA7&PID_5E19&REV_0100");
  EXPECT_EQ(n->state, NodeState::NoDriver);
  const std::string path = n->instancePath;

  m.Unplug();
  EXPECT_EQ(m.Hub().Pdo(0), nullptr);
  EXPECT_EQ(sim::kernel::pnp::NodeByInstancePath(path), nullptr);

  // The second port, and the phone asking to be unplugged at its next vendor request.
  ASSERT_TRUE(m.Plug(phone, 1));
  ASSERT_NE(m.Hub().DeviceNodeOf(1), nullptr);
  EXPECT_EQ(m.Hub().DeviceNodeOf(1)->location, "Port_#0002.Hub_#0001");
  {
    UrbClient client(m.Usb().Port(1), m.Hub().Pdo(1));
    Bytes config;
    ASSERT_EQ(client.ReadConfiguration(config), STATUS_SUCCESS);
    ASSERT_EQ(client.SelectConfiguration(config), STATUS_SUCCESS);
    phone->setUnplugTrigger(phone::UnplugTrigger{.kind = phone::UnplugTrigger::Kind::AtVendorRequest});
    EXPECT_FALSE(NT_SUCCESS(client.VendorOut(phone::kActivateRequest, phone::function_code::kModem, 0)));
  }
  m.Hub().Settle();
  EXPECT_EQ(m.Hub().Pdo(1), nullptr);
  EXPECT_FALSE(m.Usb().Port(1).Connected());

  // Shut down with a phone on the port: the hub goes with the device tree.
  ASSERT_TRUE(m.Plug(std::make_shared<phone::Q93KPhone>()));
  m.Shutdown();
  EXPECT_FALSE(m.IsBooted());
}

}  // namespace
}  // namespace sim::usb::testing
