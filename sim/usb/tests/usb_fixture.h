// Test fixture: a booted kernel, a host controller and a Q-93K plugged into
// its first port, with a raw-URB client, for the host and hub tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "phone/q93k_phone.h"
#include "tests/kernel_fixture.h"
#include "usb/host_controller.h"
#include "usb/testing/urb_client.h"

namespace sim::usb::testing {

inline Bytes BytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string TextOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

class PluggedPhone : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    hc = std::make_unique<HostController>();
  }
  void TearDown() override {
    hc.reset();
    BootedKernel::TearDown();
  }
  void Plug(phone::PhoneDescription d = {}) {
    phone = std::make_shared<phone::Q93KPhone>(d);
    ASSERT_TRUE(Port().Plug(phone));
    client = std::make_unique<UrbClient>(Port());
  }
  // Plugged and configured with the bus driver's maximum transfer sizes.
  void Configure(phone::PhoneDescription d = {}) {
    Plug(d);
    Bytes config;
    ASSERT_EQ(client->ReadConfiguration(config), STATUS_SUCCESS);
    ASSERT_EQ(client->SelectConfiguration(config, 4096), STATUS_SUCCESS);
  }
  // Sends vendor request 0x60 and returns the wValue of the 0x31 reply.
  std::optional<uint16_t> Activate(int slot, uint8_t function) {
    const auto& s = phone::layout::kSlots[slot];
    if (client->VendorOut(phone::kActivateRequest, function, s.controlInterface) != STATUS_SUCCESS) return {};
    auto n = client->Notification(s.notifyEndpoint, phone::kNotifyVendorReply);
    if (!n || n->size() < 4) return {};
    return uint16_t((*n)[2] | (*n)[3] << 8);
  }
  HubPort& Port() { return hc->Port(0); }

  std::unique_ptr<HostController> hc;
  std::shared_ptr<phone::Q93KPhone> phone;
  std::unique_ptr<UrbClient> client;
};

}  // namespace sim::usb::testing
