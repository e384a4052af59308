// The simulated PC's full-speed USB host controller and its root hub ports.
// URBs run against a UsbDeviceModel in virtual time on the controller's own
// simulated thread: 1 ms frames, packets of wMaxPacketSize within a frame's
// bandwidth, interrupt polling by bInterval, control transfers in stages.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "usb/device_model.h"

namespace sim::usb {

class HostController;
struct PortState;

// Called once for every URB that went pending, at DISPATCH_LEVEL on the
// controller's thread (or in the caller's context for aborts and unplug),
// with URB status and lengths already written.
using UrbDone = std::function<void(PURB urb, NTSTATUS status)>;

// Counters tests compare: every submitted URB is completed exactly once.
struct PortCounters {
  uint64_t submitted = 0;   // URBs accepted (pending or completed at once)
  uint64_t completed = 0;   // URBs completed, at once or later
  uint64_t pending = 0;     // still queued
  uint64_t bytesIn = 0, bytesOut = 0;  // bulk and interrupt payload moved
};

// What the hub learned about the attached device when it enumerated it.
struct DeviceIdentity {
  USB_DEVICE_DESCRIPTOR device = {};
  std::string serialNumber;  // empty when the device has none
  std::string product;       // product string, empty when none
  // The hub's id strings for the device's PDO.
  std::string deviceId;                    // USB\VID_xxxx&PID_xxxx
  std::vector<std::string> hardwareIds;    // with and without &REV_xxxx
  std::vector<std::string> compatibleIds;  // USB\Class_xx&SubClass_xx&Prot_xx ...
  std::string instanceId;                  // serial number, or the port's own when none
  bool uniqueId = false;
};

class HubPort {
 public:
  // --- The cable
  // Attaches and enumerates a device (bus reset, address, descriptors) and
  // announces it to the PnP manager when the hub presents PDOs. False when a
  // device is already attached.
  bool Plug(std::shared_ptr<UsbDeviceModel> device);
  // Detaches the device: transfers in flight complete with the device-gone
  // status, then the PnP manager learns the device is missing.
  void Unplug();
  bool Connected() const;
  std::shared_ptr<UsbDeviceModel> Device() const;
  DeviceIdentity Identity() const;

  // --- What a client driver reaches through IOCTL_INTERNAL_USB_*
  // Returns STATUS_PENDING when the URB was queued (`done` runs later, once),
  // otherwise the final status with the URB filled in (`done` not called).
  // `ticket` receives an id for CancelUrb when the URB went pending.
  NTSTATUS SubmitUrb(PURB urb, UrbDone done, uint64_t* ticket = nullptr);
  // Completes a pending URB with USBD_STATUS_CANCELED / STATUS_CANCELLED.
  // False when it had already completed.
  bool CancelUrb(uint64_t ticket);
  ULONG PortStatus() const;  // USBD_PORT_ENABLED | USBD_PORT_CONNECTED
  // Bus reset of the attached device: configuration lost, pending transfers
  // cancelled. STATUS_DEVICE_NOT_CONNECTED when nothing is attached.
  NTSTATUS ResetPort();
  // Detach and re-attach of the same device (the PnP manager sees a removal
  // and a new arrival).
  NTSTATUS CyclePort();
  // Selective suspend: a suspended port runs no transfers; resume continues.
  void Suspend(bool on);
  bool Suspended() const;
  // Called (without locks held) when a suspended device signals remote wake-up.
  void SetRemoteWakeHandler(std::function<void()> handler);

  PortCounters Counters() const;
  int Number() const { return number_; }
  HostController& Controller() { return hc_; }

  HubPort(HostController& hc, int number);
  ~HubPort();
  HubPort(const HubPort&) = delete;
  HubPort& operator=(const HubPort&) = delete;

  // Internal: the controller's and the PDO layer's view of the port.
  PortState& State() { return *state_; }

 private:
  HostController& hc_;
  int number_;
  std::unique_ptr<PortState> state_;
};

// Hooks the hub's PDO layer installs so the port can present its device to
// the PnP manager; without them the port works for host-side callers only.
struct PdoHooks {
  std::function<void(HubPort&)> arrived;  // a device was attached and enumerated
  std::function<void(HubPort&)> departed; // the device left (after its transfers ended)
};

class HostController {
 public:
  // Needs a booted kernel: starts the controller's thread.
  explicit HostController(int ports = 1);
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  HubPort& Port(int index = 0) { return *ports_.at(index); }
  int PortCount() const { return int(ports_.size()); }
  // The frame number of the current virtual time (1 ms frames).
  ULONG FrameNumber() const;

  void SetPdoHooks(PdoHooks hooks);
  const PdoHooks& Hooks() const { return hooks_; }

  // Internal: wakes the frame thread after new work was queued.
  void Kick();
  // Internal: runs `fn` on the hub's worker thread (PnP notifications must not
  // run on the frame thread, which drivers wait for).
  void PostHubWork(std::function<void()> fn);

  struct Impl;

 private:
  std::vector<std::unique_ptr<HubPort>> ports_;
  PdoHooks hooks_;
  std::unique_ptr<Impl> impl_;
};

// Full-speed bus time: 1500 bytes per frame, 13 bytes of protocol overhead per
// transaction, so 19 bulk packets of 64 bytes fit in one frame.
inline constexpr int kFrameBytes = 1500;
inline constexpr int kTransactionOverhead = 13;

}  // namespace sim::usb
