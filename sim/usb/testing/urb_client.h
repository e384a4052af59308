// A raw-URB client for tests: builds URBs with the platform's UsbBuild*
// macros and sends them to a hub port the way a client driver does, waiting
// for them in virtual time. The reference the bus driver's tests compare with.
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
  int completions = 0;  // how often the port completed it (must end at 1)
};

class UrbClient {
 public:
  explicit UrbClient(HubPort& port) : port_(port) {}

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

  HubPort& Port() { return port_; }

 private:
  HubPort& port_;
  std::vector<USBD_PIPE_INFORMATION> pipes_;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
};

}  // namespace sim::usb::testing
