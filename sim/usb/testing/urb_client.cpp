// The raw-URB test client: synchronous and asynchronous URB submission to a
// hub port or as IRPs down a device stack, and the requests the phone tests
// need, each built the way a client driver builds it.
#include "usb/testing/urb_client.h"

#include <usbdlib.h>

#include <cstring>

#include "kernel.h"

namespace sim::usb::testing {
namespace {

struct Waiter {
  KEVENT event;
  NTSTATUS status = STATUS_PENDING;
};

// Keeps the IRP for its sender, who frees it after the wait.
NTSTATUS IrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* p = static_cast<PendingUrb*>(context);
  p->status = irp->IoStatus.Status;
  ++p->completions;
  KeSetEvent(&p->event, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS UrbClient::SendIrp(PendingUrb& p, ULONG code, PVOID argument1) {
  KeInitializeEvent(&p.event, NotificationEvent, FALSE);
  p.completions = 0;
  p.status = STATUS_PENDING;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    p.status = STATUS_INSUFFICIENT_RESOURCES;
    ++p.completions;
    KeSetEvent(&p.event, 0, FALSE);
    return p.status;
  }
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.Others.Argument1 = argument1;
  IoSetCompletionRoutine(irp, IrpDone, &p, TRUE, TRUE, TRUE);
  p.irp = irp;
  const NTSTATUS s = IoCallDriver(top, irp);
  ObDereferenceObject(top);
  return s;
}

NTSTATUS UrbClient::PortRequest(ULONG code, PVOID argument1) {
  PendingUrb w;
  SendIrp(w, code, argument1);
  return Wait(w);
}

NTSTATUS UrbClient::GetPortStatus(ULONG* status) {
  if (device_ == nullptr) {
    *status = port_.PortStatus();
    return STATUS_SUCCESS;
  }
  return PortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, status);
}

NTSTATUS UrbClient::ResetPort() {
  return device_ ? PortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr) : port_.ResetPort();
}

NTSTATUS UrbClient::CyclePort() {
  return device_ ? PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr) : port_.CyclePort();
}

NTSTATUS UrbClient::Start(PendingUrb& p) {
  if (device_ != nullptr) return SendIrp(p, IOCTL_INTERNAL_USB_SUBMIT_URB, &p.urb);
  KeInitializeEvent(&p.event, NotificationEvent, FALSE);
  p.completions = 0;
  const NTSTATUS s = port_.SubmitUrb(
      &p.urb,
      [&p](PURB, NTSTATUS status) {
        p.status = status;
        ++p.completions;
        KeSetEvent(&p.event, 0, FALSE);
      },
      &p.ticket);
  if (s != STATUS_PENDING) {
    p.status = s;
    ++p.completions;
    KeSetEvent(&p.event, 0, FALSE);
  }
  return s;
}

NTSTATUS UrbClient::Wait(PendingUrb& p, ULONG timeoutMs) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(timeoutMs) * 10000;
  NTSTATUS result = p.status;
  if (KeWaitForSingleObject(&p.event, Executive, KernelMode, FALSE, timeoutMs ? &t : nullptr) == STATUS_TIMEOUT) {
    if (p.irp)
      IoCancelIrp(p.irp);
    else
      port_.CancelUrb(p.ticket);
    KeWaitForSingleObject(&p.event, Executive, KernelMode, FALSE, nullptr);
    result = STATUS_TIMEOUT;
  } else {
    result = p.status;
  }
  if (p.irp) {
    IoFreeIrp(p.irp);
    p.irp = nullptr;
  }
  return result;
}

NTSTATUS UrbClient::Call(PURB urb, ULONG timeoutMs) {
  if (device_ != nullptr) {
    PendingUrb w;
    SendIrp(w, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    return Wait(w, timeoutMs);
  }
  auto w = std::make_shared<Waiter>();
  KeInitializeEvent(&w->event, NotificationEvent, FALSE);
  uint64_t ticket = 0;
  const NTSTATUS s = port_.SubmitUrb(
      urb,
      [w](PURB, NTSTATUS status) {
        w->status = status;
        KeSetEvent(&w->event, 0, FALSE);
      },
      &ticket);
  if (s != STATUS_PENDING) return s;
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(timeoutMs) * 10000;
  if (KeWaitForSingleObject(&w->event, Executive, KernelMode, FALSE, timeoutMs ? &t : nullptr) == STATUS_TIMEOUT) {
    port_.CancelUrb(ticket);
    KeWaitForSingleObject(&w->event, Executive, KernelMode, FALSE, nullptr);
    return STATUS_TIMEOUT;
  }
  return w->status;
}

NTSTATUS UrbClient::GetDescriptor(UCHAR type, UCHAR index, USHORT language, ULONG length, Bytes& out) {
  out.assign(length, 0);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                               out.data(), nullptr, length, nullptr);
  const NTSTATUS s = Call(&urb);
  out.resize(NT_SUCCESS(s) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
  return s;
}

NTSTATUS UrbClient::ReadConfiguration(Bytes& out) {
  NTSTATUS s = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_CONFIGURATION_DESCRIPTOR), out);
  if (!NT_SUCCESS(s)) return s;
  if (out.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
  const USHORT total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(out.data())->wTotalLength;
  return GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total, out);
}

NTSTATUS UrbClient::SelectConfiguration(const Bytes& config, ULONG maxTransfer) {
  Bytes copy = config;
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
  c->wTotalLength = USHORT(std::min<size_t>(c->wTotalLength, copy.size()));
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  std::map<int, bool> seen;
  for (PVOID at = c;;) {
    PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(c, at, -1, 0, -1, -1, -1);
    if (i == nullptr) break;
    at = reinterpret_cast<PUCHAR>(i) + i->bLength;
    if (seen[i->bInterfaceNumber]) continue;
    seen[i->bInterfaceNumber] = true;
    if (i->bInterfaceClass == USB_DEVICE_CLASS_CDC_DATA && i->bNumEndpoints == 0) {
      if (auto* alt = USBD_ParseConfigurationDescriptorEx(c, c, i->bInterfaceNumber, 1, -1, -1, -1)) i = alt;
    }
    list.push_back({i, nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(c, list.data());
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (auto& e : list)
    if (e.Interface)
      for (ULONG p = 0; p < e.Interface->NumberOfPipes; ++p) e.Interface->Pipes[p].MaximumTransferSize = maxTransfer;
  const NTSTATUS s = Call(urb);
  pipes_.clear();
  if (NT_SUCCESS(s)) {
    configHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (auto& e : list)
      if (e.Interface)
        for (ULONG p = 0; p < e.Interface->NumberOfPipes; ++p) pipes_.push_back(e.Interface->Pipes[p]);
  }
  ExFreePool(urb);
  return s;
}

NTSTATUS UrbClient::Deconfigure() {
  URB urb = {};
  UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  pipes_.clear();
  return Call(&urb);
}

const USBD_PIPE_INFORMATION* UrbClient::PipeInfo(uint8_t endpoint) const {
  for (const auto& p : pipes_)
    if (p.EndpointAddress == endpoint) return &p;
  return nullptr;
}

USBD_PIPE_HANDLE UrbClient::Pipe(uint8_t endpoint) const {
  const auto* p = PipeInfo(endpoint);
  return p ? p->PipeHandle : nullptr;
}

NTSTATUS UrbClient::VendorOut(UCHAR request, USHORT value, USHORT index, const Bytes& data) {
  Bytes buffer = data;
  URB urb = {};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                        1, request, value, index, buffer.empty() ? nullptr : buffer.data(), nullptr,
                        ULONG(buffer.size()), nullptr);
  return Call(&urb);
}

NTSTATUS UrbClient::ClassOut(UCHAR request, USHORT value, USHORT index, const Bytes& data) {
  Bytes buffer = data;
  URB urb = {};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                        1, request, value, index, buffer.empty() ? nullptr : buffer.data(), nullptr,
                        ULONG(buffer.size()), nullptr);
  return Call(&urb);
}

NTSTATUS UrbClient::ClassIn(UCHAR request, USHORT value, USHORT index, ULONG length, Bytes& out) {
  out.assign(length, 0);
  URB urb = {};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 1, request, value, index, out.data(),
                        nullptr, length, nullptr);
  const NTSTATUS s = Call(&urb);
  out.resize(NT_SUCCESS(s) ? urb.UrbControlVendorClassRequest.TransferBufferLength : 0);
  return s;
}

NTSTATUS UrbClient::Read(uint8_t endpoint, ULONG length, Bytes& out, bool shortOk, ULONG timeoutMs) {
  out.assign(length, 0);
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe(endpoint),
                                         out.data(), nullptr, length,
                                         USBD_TRANSFER_DIRECTION_IN | (shortOk ? USBD_SHORT_TRANSFER_OK : 0), nullptr);
  const NTSTATUS s = Call(&urb, timeoutMs);
  out.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength <= length
                 ? urb.UrbBulkOrInterruptTransfer.TransferBufferLength
                 : 0);
  return s;
}

NTSTATUS UrbClient::Write(uint8_t endpoint, const Bytes& data, ULONG timeoutMs) {
  Bytes buffer = data;
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe(endpoint),
                                         buffer.data(), nullptr, ULONG(buffer.size()), USBD_TRANSFER_DIRECTION_OUT,
                                         nullptr);
  return Call(&urb, timeoutMs);
}

NTSTATUS UrbClient::AbortPipe(uint8_t endpoint) {
  URB urb = {};
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.PipeHandle = Pipe(endpoint);
  return Call(&urb);
}

NTSTATUS UrbClient::ResetPipe(uint8_t endpoint) {
  URB urb = {};
  urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.PipeHandle = Pipe(endpoint);
  return Call(&urb);
}

std::optional<Bytes> UrbClient::Notification(uint8_t endpoint, uint8_t code, ULONG timeoutMs) {
  const ULONGLONG until = sim::kernel::Now() + ULONGLONG(timeoutMs) * 10000;
  while (sim::kernel::Now() < until) {
    Bytes n;
    const ULONG left = ULONG((until - sim::kernel::Now()) / 10000) + 1;
    if (!NT_SUCCESS(Read(endpoint, 16, n, true, left))) return std::nullopt;
    if (n.size() >= 2 && n[1] == code) return n;
  }
  return std::nullopt;
}

std::string UrbClient::ReadUntil(uint8_t endpoint, std::string_view text, ULONG timeoutMs) {
  const ULONGLONG until = sim::kernel::Now() + ULONGLONG(timeoutMs) * 10000;
  std::string got;
  while (got.find(text) == std::string::npos && sim::kernel::Now() < until) {
    Bytes chunk;
    const ULONG left = ULONG((until - sim::kernel::Now()) / 10000) + 1;
    if (!NT_SUCCESS(Read(endpoint, 4096, chunk, true, left))) break;
    got.append(chunk.begin(), chunk.end());
  }
  return got;
}

}  // namespace sim::usb::testing
