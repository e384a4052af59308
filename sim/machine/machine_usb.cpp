// The machine's USB side: a full-speed host controller with its root hub,
// made when first needed, and plugging and unplugging phones on its ports.
// The PnP manager's own removal of the hub at shutdown releases both.
#include <stdexcept>

#include "machine.h"
#include "phone/q93k_phone.h"
#include "usb/host_controller.h"
#include "usb/hub_pdo.h"

namespace sim::machine {

inline constexpr int kUsbPorts = 2;

struct Machine::UsbSide {
  std::unique_ptr<sim::usb::HostController> hc;
  std::unique_ptr<sim::usb::RootHub> hub;
};

void Machine::EnsureUsb() {
  if (!booted_) throw std::logic_error("the machine's USB host needs a booted machine");
  if (usb_ && usb_->hc) return;
  auto usb = std::make_shared<UsbSide>();
  usb_ = usb;
  usb->hc = std::make_unique<sim::usb::HostController>(kUsbPorts);
  usb->hub = std::make_unique<sim::usb::RootHub>(*usb->hc);
  // At shutdown the PnP manager removes the hub before the kernel stops: the
  // controller's threads must be gone by then.
  std::weak_ptr<UsbSide> weak = usb;
  usb->hub->SetRemovedHandler([weak] {
    if (auto side = weak.lock()) {
      side->hub.reset();
      side->hc.reset();
    }
  });
}

bool Machine::Plug(std::shared_ptr<sim::phone::Q93KPhone> phone, int port) {
  EnsureUsb();
  if (port < 0 || port >= usb_->hc->PortCount()) return false;
  if (!usb_->hc->Port(port).Plug(std::move(phone))) return false;
  usb_->hub->Settle();
  return true;
}

void Machine::Unplug(int port) {
  if (!usb_ || !usb_->hc || port < 0 || port >= usb_->hc->PortCount()) return;
  usb_->hc->Port(port).Unplug();
  usb_->hub->Settle();
}

sim::usb::HostController& Machine::Usb() {
  EnsureUsb();
  return *usb_->hc;
}

sim::usb::RootHub& Machine::Hub() {
  EnsureUsb();
  return *usb_->hub;
}

}  // namespace sim::machine
