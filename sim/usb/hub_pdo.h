// The USB hub as the PnP manager sees it: a root-enumerated root hub node whose
// "usbhub" driver presents each device plugged into a host controller's ports
// as an unnamed PDO, answering PnP, power and the internal USB requests.
#pragma once

#include <functional>
#include <memory>

#include <wdm.h>

#include "devnode.h"
#include "usb/host_controller.h"

namespace sim::usb {

struct HubState;

// Service and image name of the hub's driver, and the root hub's hardware id
// (its node is "ROOT\USB_ROOT_HUB\NNNN").
inline constexpr const char* kHubService = "usbhub";
inline constexpr const char* kRootHubId = "USB_ROOT_HUB";

class RootHub {
 public:
  // Needs a booted kernel with its PnP manager. Installs the usbhub service
  // (a builtin image), reports the root hub node and starts its stack, then
  // presents every device the controller's ports enumerate, now and later.
  explicit RootHub(HostController& hc);
  // Takes the hub node and its children out of the tree (surprise removal,
  // as when the controller goes away). Destroy before the HostController.
  ~RootHub();
  RootHub(const RootHub&) = delete;
  RootHub& operator=(const RootHub&) = delete;

  // Called once, on the PnP thread, when the PnP manager removes the hub node
  // by itself (machine shutdown): the owner releases the hub and controller.
  void SetRemovedHandler(std::function<void()> handler);

  // Waits until the port events queued so far reached the PnP manager and it
  // finished with them (after a plug, unplug or cycle).
  void Settle();

  sim::kernel::DeviceNode* Node() const;
  // The PDO presenting the device on a port, null when none is presented.
  // Not referenced: valid while the device stays on the port.
  PDEVICE_OBJECT Pdo(int port = 0) const;
  // The device node of that PDO, null before the PnP manager enumerated it.
  sim::kernel::DeviceNode* DeviceNodeOf(int port = 0) const;

 private:
  HostController& hc_;
  std::shared_ptr<HubState> state_;
  sim::kernel::DeviceNode* node_ = nullptr;
};

}  // namespace sim::usb
