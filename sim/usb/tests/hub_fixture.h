// Test fixture for the hub's PDO layer: a booted kernel with its PnP manager,
// a host controller with its root hub, and a tiny function driver ("usbtfunc")
// that attaches above the phone's PDO and passes every IRP down.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "phone/q93k_phone.h"
#include "pnp.h"
#include "tests/kernel_fixture.h"
#include "usb/host_controller.h"
#include "usb/hub_pdo.h"
#include "usb/testing/urb_client.h"
#include "usb/tests/usb_fixture.h"

namespace sim::usb::testing {

// Registers usbtfunc and a driver record for the phone's first hardware id.
void InstallPassThroughDriver();
// What reached usbtfunc's PnP dispatch ("START", "SURPRISE_REMOVAL", "REMOVE").
std::vector<std::string> PassThroughLog();
void ClearPassThroughLog();

class HubTest : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    hc = std::make_unique<HostController>(2);
    hub = std::make_unique<RootHub>(*hc);
    ClearPassThroughLog();
  }
  void TearDown() override {
    client.reset();
    hub.reset();
    hc.reset();
    sim::kernel::pnp::Shutdown();
    BootedKernel::TearDown();
  }
  // Plugs a phone into port 0 and waits until the PnP manager is done with it;
  // the client then talks to the top of the new device's stack.
  void Plug(phone::PhoneDescription d = {}) {
    phone = std::make_shared<phone::Q93KPhone>(d);
    ASSERT_TRUE(Port().Plug(phone));
    hub->Settle();
    ASSERT_NE(hub->Pdo(0), nullptr);
    client = std::make_unique<UrbClient>(Port(), hub->Pdo(0));
  }
  void Configure(phone::PhoneDescription d = {}) {
    Plug(d);
    Bytes config;
    ASSERT_EQ(client->ReadConfiguration(config), STATUS_SUCCESS);
    ASSERT_EQ(client->SelectConfiguration(config, 4096), STATUS_SUCCESS);
  }
  std::optional<uint16_t> Activate(int slot, uint8_t function) {
    const auto& s = phone::layout::kSlots[slot];
    if (client->VendorOut(phone::kActivateRequest, function, s.controlInterface) != STATUS_SUCCESS) return {};
    auto n = client->Notification(s.notifyEndpoint, phone::kNotifyVendorReply);
    if (!n || n->size() < 4) return {};
    return uint16_t((*n)[2] | (*n)[3] << 8);
  }
  sim::kernel::DeviceNode* PhoneNode() { return hub->DeviceNodeOf(0); }
  HubPort& Port() { return hc->Port(0); }

  std::unique_ptr<HostController> hc;
  std::unique_ptr<RootHub> hub;
  std::shared_ptr<phone::Q93KPhone> phone;
  std::unique_ptr<UrbClient> client;
};

}  // namespace sim::usb::testing
