// The phone's functions as the bus sees them: a notification reader per slot on its
// interrupt pipe, the vendor function requests answered by notification 0x31, the probe
// of each slot at start, and the line events of SERIAL_STATE.
#include "bus_device.h"

namespace {

const ULONG kNotifyBufferSize = 16;
const UCHAR kNotifyVendorReply = 0x31;
const UCHAR kNotifySerialState = 0x20;
const UCHAR kRequestActivate = 0x60;
const UCHAR kRequestProbe = 0x62;
const UCHAR kRequestDisable = 0x63;
const ULONG kRequestTimeoutMs = 500;
const LONGLONG kReplyTimeout = -10000000;  // 1 s, relative

struct FunctionRequest {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
  UCHAR Data[4];
};

}  // namespace

LONG UsbBusDevice::ArmNotification(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  WdmUsbPipe& pipe = Pipes[SlotIndex][UsbPipeInterruptIn];
  auto* buffer = static_cast<PUCHAR>(WdmAllocate(kNotifyBufferSize));
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  KIRQL irql;
  KeAcquireSpinLock(&channel.NotifyLock, &irql);
  if (!buffer || !urb || !pipe.IsBound() || channel.NotifyState == kNotifyStopRequested) {
    channel.NotifyState = kNotifyStopped;
    KeSetEvent(&channel.NotifyEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&channel.NotifyLock, irql);
    WdmFree(buffer);
    WdmFree(urb);
    return 0;
  }
  channel.NotifyState = kNotifyReading;
  channel.NotifyUrb = urb;
  channel.NotifyBuffer = buffer;
  KeReleaseSpinLock(&channel.NotifyLock, irql);
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  pipe.BuildTransfer(urb, buffer, kNotifyBufferSize, TRUE, TRUE);
  // The callback runs once whatever happens and releases the URB and buffer there.
  Usb.SubmitUrb(urb, NotificationComplete, &channel);
  return 1;
}

void UsbBusDevice::NotificationComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* channel = static_cast<UsbSlotChannel*>(Context);
  UsbBusDevice* device = channel->Device;
  KIRQL irql;
  KeAcquireSpinLock(&channel->NotifyLock, &irql);
  PURB urb = channel->NotifyUrb;
  PUCHAR buffer = channel->NotifyBuffer;
  channel->NotifyUrb = nullptr;
  channel->NotifyBuffer = nullptr;
  BOOLEAN stopRequested = channel->NotifyState != kNotifyReading;
  KeReleaseSpinLock(&channel->NotifyLock, irql);

  BOOLEAN rearm = FALSE;
  if (urb && NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
    ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (length > kNotifyBufferSize) length = kNotifyBufferSize;
    device->OnNotification(channel, buffer, length);
    rearm = !stopRequested && device->PnpState == kStateStarted;
  }
  WdmFree(buffer);
  WdmFree(urb);
  if (rearm && device->ArmNotification(channel->Index)) return;
  KeAcquireSpinLock(&channel->NotifyLock, &irql);
  channel->NotifyState = kNotifyStopped;
  KeSetEvent(&channel->NotifyEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&channel->NotifyLock, irql);
}

void UsbBusDevice::OnNotification(UsbSlotChannel* Channel, const UCHAR* Buffer, ULONG Length) {
  // The 8-byte header first; SERIAL_STATE carries its word after it.
  if (Length < 8) return;
  USHORT value = (USHORT)(Buffer[2] | (Buffer[3] << 8));
  switch (Buffer[1]) {
    case kNotifyVendorReply:
      Channel->ReplyOk = value < 0xFF00 && (value & 0xFF) == 1;
      KeSetEvent(&Channel->NotifyEvent, IO_NO_INCREMENT, FALSE);
      break;
    case kNotifySerialState: {
      if (Length < 10) return;
      USHORT word = (USHORT)(Buffer[8] | (Buffer[9] << 8));
      KIRQL irql;
      KeAcquireSpinLock(&BindingLock, &irql);
      PDEVICE_OBJECT owner = Channel->Owner;
      UsbBusDevice* bound = owner ? static_cast<UsbBusDevice*>(WdmDevice::FromDeviceObject(owner)) : nullptr;
      PCHANNEL_LINE_EVENT lineEvent = nullptr;
      PVOID context = nullptr;
      ULONG events[3];
      ULONG count = 0;
      if (bound && bound->Binding.Bound &&
          (bound->Binding.Kind == CHANNEL_KIND_MODEM || bound->Binding.Kind == CHANNEL_KIND_AT)) {
        USHORT old = bound->Binding.SerialState;
        bound->Binding.SerialState = word;
        // The break bit (2) raises nothing.
        USHORT changed = (USHORT)((word ^ old) & 0xFB);
        if (changed & 0x2) events[count++] = (word & 0x2) ? CHANNEL_EVENT_DSR_ON : CHANNEL_EVENT_DSR_OFF;
        if (changed & 0x1) events[count++] = (word & 0x1) ? CHANNEL_EVENT_DCD_ON : CHANNEL_EVENT_DCD_OFF;
        if ((changed & 0x8) && bound->Binding.Kind == CHANNEL_KIND_MODEM) {
          events[count++] = (word & 0x8) ? CHANNEL_EVENT_RING_ON : CHANNEL_EVENT_RING_OFF;
        }
        lineEvent = bound->Binding.LineEvent;
        context = bound->Binding.Context;
      }
      KeReleaseSpinLock(&BindingLock, irql);
      for (ULONG i = 0; lineEvent && i < count; i++) lineEvent(context, events[i]);
      break;
    }
    default:
      // RESPONSE_AVAILABLE goes to the worker, which the AT data path brings.
      break;
  }
}

LONG UsbBusDevice::SendFunctionRequest(UCHAR Request, USHORT Value, ULONG SlotIndex) {
  if (SlotIndex >= kSlots || (Request != kRequestActivate && Request != kRequestProbe && Request != kRequestDisable)) {
    return 0;
  }
  UsbSlotChannel& channel = Channels[SlotIndex];
  if (Request == kRequestDisable) {
    KIRQL irql;
    KeAcquireSpinLock(&channel.NotifyLock, &irql);
    if (channel.NotifyState != kNotifyStopped) channel.NotifyState = kNotifyStopRequested;
    KeReleaseSpinLock(&channel.NotifyLock, irql);
  }
  LONG number = Slot[SlotIndex].PipeInterface[UsbPipeInterruptIn];
  if (number < 0 || !Interfaces[number].IsBound()) return 0;
  auto* request = static_cast<FunctionRequest*>(WdmAllocate(sizeof(FunctionRequest)));
  if (!request) return 0;
  RtlZeroMemory(request, sizeof(*request));
  ULONG length = 0;
  if (Request == kRequestProbe) {
    request->Data[0] = 0x02;
    request->Data[1] = (UCHAR)SlotFunction(SlotIndex);
    length = 2;
  }
  Interfaces[number].BuildVendorRequest(reinterpret_cast<PURB>(&request->Urb), FALSE, FALSE,
                                        length ? request->Data : nullptr, length, 1, Request,
                                        Request == kRequestProbe ? 0 : Value);
  KeClearEvent(&channel.NotifyEvent);
  channel.ReplyOk = FALSE;
  NTSTATUS status = Usb.SubmitUrb(reinterpret_cast<PURB>(&request->Urb), nullptr, nullptr, kRequestTimeoutMs);
  if (status == STATUS_TIMEOUT) {
    WdmFree(request);
    return 0;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = kReplyTimeout;
  NTSTATUS wait = KeWaitForSingleObject(&channel.NotifyEvent, Executive, KernelMode, FALSE, &timeout);
  WdmFree(request);
  if (wait == STATUS_TIMEOUT) channel.ReplyOk = FALSE;
  return channel.ReplyOk ? 1 : 0;
}

void UsbBusDevice::SetUpChannels() {
  if (UsbMode < 1 || UsbMode > 3) return;
  ULONG slots = UsbMode == 3 ? 2 : 3;
  for (ULONG s = 0; s < slots; s++) {
    KeClearEvent(&Channels[s].NotifyEvent);
    Channels[s].NotifyState = kNotifyStopped;
    ArmNotification(s);
  }
  for (ULONG s = 0; s < slots; s++) Channels[s].ProbeOk = SendFunctionRequest(kRequestProbe, SlotFunction(s), s) != 0;
}

// Stops every reader and waits until each has come back: the completion touches this
// device, which may be deleted once this returns. After a surprise removal the hub
// fails the transfers still pending, so the wait ends even when the abort cannot be sent.
void UsbBusDevice::StopNotifications() {
  BOOLEAN waitFor[kSlots] = {FALSE, FALSE, FALSE};
  for (ULONG s = 0; s < kSlots; s++) {
    UsbSlotChannel& channel = Channels[s];
    KIRQL irql;
    KeAcquireSpinLock(&channel.NotifyLock, &irql);
    if (channel.NotifyState != kNotifyStopped) {
      KeClearEvent(&channel.NotifyEvent);
      channel.NotifyState = kNotifyStopRequested;
      waitFor[s] = channel.NotifyUrb != nullptr;
    }
    KeReleaseSpinLock(&channel.NotifyLock, irql);
    if (waitFor[s]) Pipes[s][UsbPipeInterruptIn].AbortPipe();
  }
  for (ULONG s = 0; s < kSlots; s++) {
    // A late vendor reply sets the same event: only the stopped state ends the wait.
    while (waitFor[s]) {
      KeWaitForSingleObject(&Channels[s].NotifyEvent, Executive, KernelMode, FALSE, nullptr);
      KIRQL irql;
      KeAcquireSpinLock(&Channels[s].NotifyLock, &irql);
      waitFor[s] = Channels[s].NotifyState != kNotifyStopped;
      if (waitFor[s]) KeClearEvent(&Channels[s].NotifyEvent);
      KeReleaseSpinLock(&Channels[s].NotifyLock, irql);
    }
  }
}
