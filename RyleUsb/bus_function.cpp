// The phone's functions as the bus sees them: a notification reader per slot on its
// interrupt pipe, the vendor function requests answered by notification 0x31, the probe
// of each slot at start, and the line events of SERIAL_STATE.
#include "bus_device.h"

namespace {

const ULONG kNotifyBufferSize = 16;
const UCHAR kNotifyVendorReply = 0x31;
const UCHAR kNotifySerialState = 0x20;
const UCHAR kNotifyResponseAvailable = 0x01;
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
    rearm = device->OnNotification(channel, buffer, length) && !stopRequested && device->PnpState == kStateStarted;
  }
  WdmFree(buffer);
  WdmFree(urb);
  if (rearm && device->ArmNotification(channel->Index)) return;
  KeAcquireSpinLock(&channel->NotifyLock, &irql);
  channel->NotifyState = kNotifyStopped;
  KeSetEvent(&channel->NotifyEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&channel->NotifyLock, irql);
}

BOOLEAN UsbBusDevice::OnNotification(UsbSlotChannel* Channel, const UCHAR* Buffer, ULONG Length) {
  // The 8-byte header first; SERIAL_STATE carries its word after it.
  if (Length < 8) return TRUE;
  USHORT value = (USHORT)(Buffer[2] | (Buffer[3] << 8));
  switch (Buffer[1]) {
    case kNotifyVendorReply:
      Channel->ReplyOk = value < 0xFF00 && (value & 0xFF) == 1;
      KeSetEvent(&Channel->NotifyEvent, IO_NO_INCREMENT, FALSE);
      break;
    case kNotifySerialState: {
      if (Length < 10) return TRUE;
      USHORT word = (USHORT)(Buffer[8] | (Buffer[9] << 8));
      ULONG slot = Channel->Index;
      UsbOwnerCall call;
      if (!EnterOwner(slot, 0, &call)) return TRUE;
      ULONG events[3];
      ULONG count = 0;
      if (call.Kind == CHANNEL_KIND_MODEM || call.Kind == CHANNEL_KIND_AT) {
        KIRQL irql;
        KeAcquireSpinLock(&BindingLock, &irql);
        USHORT old = Channel->SerialState;
        Channel->SerialState = word;
        KeReleaseSpinLock(&BindingLock, irql);
        // The break bit (2) raises nothing.
        USHORT changed = (USHORT)((word ^ old) & 0xFB);
        if (changed & 0x2) events[count++] = (word & 0x2) ? CHANNEL_EVENT_DSR_ON : CHANNEL_EVENT_DSR_OFF;
        if (changed & 0x1) events[count++] = (word & 0x1) ? CHANNEL_EVENT_DCD_ON : CHANNEL_EVENT_DCD_OFF;
        if ((changed & 0x8) && call.Kind == CHANNEL_KIND_MODEM) {
          events[count++] = (word & 0x8) ? CHANNEL_EVENT_RING_ON : CHANNEL_EVENT_RING_OFF;
        }
      }
      for (ULONG i = 0; call.LineEvent && i < count; i++) call.LineEvent(call.Context, events[i]);
      LeaveOwner(slot);
      break;
    }
    case kNotifyResponseAvailable:
      if (!Channel->Owner) break;
      // Without memory for the work the response would never be read: the reader stops
      // rather than pretend it still listens.
      if (!PostWork(kWorkResponse, Channel->Index, nullptr, nullptr, 0)) return FALSE;
      break;
    default:
      break;
  }
  return TRUE;
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
                                        length && !IsWin98Platform ? request->Data : nullptr, length, 1, Request,
                                        Request == kRequestProbe ? 0 : Value);
  KeClearEvent(&channel.NotifyEvent);
  channel.ReplyOk = FALSE;
  if (IsWin98Platform) {
    // Only a submission that did not come back in time counts: the reply decides.
    ULONG received = 0;
    if (SendShared(reinterpret_cast<PURB>(&request->Urb), request->Data, length, FALSE, kRequestTimeoutMs,
                   &received) == STATUS_TIMEOUT) {
      WdmFree(request);
      return 0;
    }
  } else if (Usb.SubmitUrb(reinterpret_cast<PURB>(&request->Urb), nullptr, nullptr, kRequestTimeoutMs) ==
             STATUS_TIMEOUT) {
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

BOOLEAN UsbBusDevice::ReaderStopped(ULONG SlotIndex) {
  KIRQL irql;
  KeAcquireSpinLock(&Channels[SlotIndex].NotifyLock, &irql);
  BOOLEAN stopped = Channels[SlotIndex].NotifyState == kNotifyStopped;
  KeReleaseSpinLock(&Channels[SlotIndex].NotifyLock, irql);
  return stopped;
}

void UsbBusDevice::SetUpChannels() {
  if (UsbMode < 1 || UsbMode > 3) return;
  ULONG slots = UsbMode == 3 ? 2 : 3;
  // A reader still running keeps its read: a second one would take over its record.
  for (ULONG s = 0; s < slots; s++) {
    if (ReaderStopped(s)) ArmNotification(s);
  }
  for (ULONG s = 0; s < slots; s++) Channels[s].ProbeOk = SendFunctionRequest(kRequestProbe, SlotFunction(s), s) != 0;
}

// Deactivates the active functions, then releases every confirmed one (the reply to 0x63
// arrives on the reader, which it also stops).
void UsbBusDevice::ShutDownChannels() {
  if (UsbMode < 1 || UsbMode > 3) return;
  for (ULONG s = 0; s < kSlots; s++) {
    if (Channels[s].Active) SendFunctionRequest(kRequestActivate, 0, s);
  }
  for (ULONG s = 0; s < kSlots; s++) {
    if (Channels[s].ProbeOk) {
      Channels[s].ProbeOk = FALSE;
      SendFunctionRequest(kRequestDisable, 0, s);
    }
  }
}

// Stops the data of the active slots, then every reader, and waits until each has come
// back: the completions touch this device, which may be deleted once this returns. After
// a surprise removal the hub fails the transfers still pending, so the wait ends even
// when the abort cannot be sent.
void UsbBusDevice::StopNotifications() {
  for (ULONG s = 0; s < 2; s++) {
    if (!Channels[s].Active) continue;
    StopReception(s);
    AbortWrites(s, FALSE);
  }
  BOOLEAN waitFor[kSlots] = {FALSE, FALSE, FALSE};
  for (ULONG s = 0; s < kSlots; s++) {
    UsbSlotChannel& channel = Channels[s];
    KIRQL irql;
    KeAcquireSpinLock(&channel.NotifyLock, &irql);
    // A reader not stopped has a read below or a completion on its way: either way it
    // ends in the stopped state, and only the read below needs the abort.
    BOOLEAN pending = FALSE;
    if (channel.NotifyState != kNotifyStopped) {
      KeClearEvent(&channel.NotifyEvent);
      channel.NotifyState = kNotifyStopRequested;
      waitFor[s] = TRUE;
      pending = channel.NotifyUrb != nullptr;
    }
    KeReleaseSpinLock(&channel.NotifyLock, irql);
    if (pending) Pipes[s][UsbPipeInterruptIn].AbortPipe();
  }
  for (ULONG s = 0; s < kSlots; s++) {
    // A late vendor reply sets the same event: only the stopped state ends the wait. A
    // read submitted just after the abort is aborted on the next round.
    while (waitFor[s]) {
      LARGE_INTEGER retry;
      retry.QuadPart = kStopRetry;
      NTSTATUS wait = KeWaitForSingleObject(&Channels[s].NotifyEvent, Executive, KernelMode, FALSE, &retry);
      KIRQL irql;
      KeAcquireSpinLock(&Channels[s].NotifyLock, &irql);
      waitFor[s] = Channels[s].NotifyState != kNotifyStopped;
      if (waitFor[s]) KeClearEvent(&Channels[s].NotifyEvent);
      BOOLEAN pending = waitFor[s] && Channels[s].NotifyUrb != nullptr;
      KeReleaseSpinLock(&Channels[s].NotifyLock, irql);
      if (pending && wait == STATUS_TIMEOUT) Pipes[s][UsbPipeInterruptIn].AbortPipe();
    }
  }
}

// ---- Power --------------------------------------------------------------------------------

// DeviceState to the function driver of every active slot.
void UsbBusDevice::TellDeviceState(ULONG On) {
  for (ULONG s = 0; s < kSlots; s++) {
    UsbOwnerCall call;
    if (!Channels[s].Active || !EnterOwner(s, 0, &call)) continue;
    if (call.DeviceState) call.DeviceState(call.Context, On);
    LeaveOwner(s);
  }
}

// The phone is back in D0: the channels that were active before the power-down are
// activated again and their reception restarted, and their function drivers told.
NTSTATUS UsbBusDevice::OnDevicePowerUp() {
  if (!IsBusFdo || PnpState != kStateStarted) return STATUS_SUCCESS;
  ULONG port = 0;
  NTSTATUS status = Usb.GetPortStatus(&port);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  // A query that fails otherwise tells nothing of the port: the phone is taken as there,
  // so the function drivers paused at the power-down are resumed (their requests fail on
  // their own if it is gone).
  if (NT_SUCCESS(status)) {
    if (!(port & USBD_PORT_CONNECTED)) {
      Usb.CyclePort();
      return STATUS_SUCCESS;
    }
    if (!(port & USBD_PORT_ENABLED)) return STATUS_SUCCESS;
  }
  PostWork(kWorkResume, 0, nullptr, nullptr, 0);
  SetUpChannels();
  for (ULONG s = 0; s < 2; s++) {
    if (!Channels[s].Active) continue;
    UCHAR code = s == 0 ? (UsbMode == 3 ? CHANNEL_KIND_EXTRA : CHANNEL_KIND_MODEM)
                        : (UsbMode == 2 ? CHANNEL_KIND_EXTRA : CHANNEL_KIND_OBEX);
    SendFunctionRequest(kRequestActivate, code, s);
    Pipes[s][UsbPipeBulkIn].ResetPipe();
    Pipes[s][UsbPipeBulkOut].ResetPipe();
    BeginReception(s, code);
    if (s == 0 && UsbMode != 3) PostWork(kWorkControlLines, 0, nullptr, &Channels[0].ControlLines, 2);
  }
  if (Channels[2].Active) SendFunctionRequest(kRequestActivate, CHANNEL_KIND_AT, 2);
  TellDeviceState(1);
  return STATUS_SUCCESS;
}

// The phone leaves D0: the function drivers pause first, the worker finishes what was
// queued before, then the functions and readers stop.
NTSTATUS UsbBusDevice::OnDeviceSleep() {
  if (!IsBusFdo || PnpState != kStateStarted) return STATUS_SUCCESS;
  TellDeviceState(0);
  LARGE_INTEGER pause;
  pause.QuadPart = -10 * 10000LL;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  WaitForWorker(kWorkPowerDown);
  ShutDownChannels();
  StopNotifications();
  return STATUS_SUCCESS;
}
