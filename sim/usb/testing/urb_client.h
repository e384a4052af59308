// A raw-URB client for tests: builds URBs with the platform's UsbBuild*
// macros and sends them the way a client driver does, either straight to a hub
// port (the host controller's own tests) or as IOCTL_INTERNAL_USB_SUBMIT_URB
// IRPs down a device stack, waiting for them in virtual time. The reference
// the bus driver's tests compare with.
#pragma once

#include <map>
#include <optional>
#include <string_view>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "usb/host_controller.h"

namespace sim::usb::testing {

using Bytes = std::vector<uint8_t>;

// One URB in flight, with the event its completion sets.
struct PendingUrb {
  URB urb = {};
  Bytes buffer;
  KEVENT event;
  NTSTATUS status = STATUS_PENDING;
  uint64_t ticket = 0;
  PIRP irp = nullptr;   // the IRP carrying it (IRP transport), freed by Wait
  int completions = 0;  // how often it was completed (must end at 1)
};

class UrbClient {
 public:
  // Host-side transport: URBs go to the port directly.
  explicit UrbClient(HubPort& port) : port_(port) {}
  // IRP transport: URBs and port requests go as internal device control IRPs
  // to the top of the stack holding `device` (the hub's PDO, or a driver
  // above it). The stack must outlive the client's requests.
  UrbClient(HubPort& port, PDEVICE_OBJECT device) : port_(port), device_(device) {}

  // Sends a URB and waits for it; a time limit (ms of virtual time, 0 none)
  // cancels it on expiry and returns STATUS_TIMEOUT once it came back.
  NTSTATUS Call(PURB urb, ULONG timeoutMs = 0);
  // Starts a URB built in `p->urb` (buffers in `p->buffer`) without waiting.
  NTSTATUS Start(PendingUrb& p);
  NTSTATUS Wait(PendingUrb& p, ULONG timeoutMs = 0);

  // --- Standard requests
  NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, ULONG length, Bytes& out);
  // The whole configuration descriptor: 9 bytes first, then wTotalLength.
  NTSTATUS ReadConfiguration(Bytes& out);
  // Selects `config` with every interface at alternate setting 0 (1 for a
  // CDC data interface whose setting 0 has no endpoints), each pipe with
  // `maxTransfer` as its maximum transfer size.
  NTSTATUS SelectConfiguration(const Bytes& config, ULONG maxTransfer = 4096);
  NTSTATUS Deconfigure();
  USBD_PIPE_HANDLE Pipe(uint8_t endpoint) const;
  const USBD_PIPE_INFORMATION* PipeInfo(uint8_t endpoint) const;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return configHandle_; }

  // --- Class and vendor requests to an interface
  NTSTATUS VendorOut(UCHAR request, USHORT value, USHORT index, const Bytes& data = {});
  NTSTATUS ClassOut(UCHAR request, USHORT value, USHORT index, const Bytes& data = {});
  NTSTATUS ClassIn(UCHAR request, USHORT value, USHORT index, ULONG length, Bytes& out);

  // --- Pipes
  NTSTATUS Read(uint8_t endpoint, ULONG length, Bytes& out, bool shortOk = true, ULONG timeoutMs = 0);
  NTSTATUS Write(uint8_t endpoint, const Bytes& data, ULONG timeoutMs = 0);
  NTSTATUS AbortPipe(uint8_t endpoint);
  NTSTATUS ResetPipe(uint8_t endpoint);
  // Reads the interrupt pipe until a notification with code `code` arrives
  // (others are passed over) or `timeoutMs` of virtual time passed.
  std::optional<Bytes> Notification(uint8_t endpoint, uint8_t code, ULONG timeoutMs = 2000);
  // Bulk reads until `text` was seen or the time ran out; returns what came.
  std::string ReadUntil(uint8_t endpoint, std::string_view text, ULONG timeoutMs = 2000);

  // --- Port requests (IOCTL_INTERNAL_USB_* through the stack, or the port's own calls)
  NTSTATUS GetPortStatus(ULONG* status);
  NTSTATUS ResetPort();
  NTSTATUS CyclePort();

  HubPort& Port() { return port_; }
  PDEVICE_OBJECT Device() const { return device_; }

 private:
  // Sends an internal control IRP with Argument1 down the stack; its
  // completion sets `p`'s event. Returns what IoCallDriver returned.
  NTSTATUS SendIrp(PendingUrb& p, ULONG code, PVOID argument1);
  NTSTATUS PortRequest(ULONG code, PVOID argument1);

  HubPort& port_;
  PDEVICE_OBJECT device_ = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes_;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
};

}  // namespace sim::usb::testing
