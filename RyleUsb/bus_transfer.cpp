// Bulk data of the modem, OBEX and extra functions: one read kept in flight per active
// data slot and handed straight to the bound function driver, and one write at a time.
// The bus keeps no data of its own: the buffer the phone filled is the one delivered.
#include "bus_device.h"

namespace {

PCHANNEL_BUFFER NewReceiveBuffer() {
  auto* buffer = static_cast<PCHANNEL_BUFFER>(WdmAllocate(CHANNEL_BUFFER_ALLOCATION_SIZE));
  if (!buffer) return nullptr;
  InitializeListHead(&buffer->Links);
  buffer->Length = CHANNEL_BUFFER_DATA_SIZE;
  buffer->Offset = 0;
  return buffer;
}

BOOLEAN IsRemovalStatus(NTSTATUS status) {
  return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DEVICE_REMOVED;
}

}  // namespace

// ---- Calls into the slot's owner ------------------------------------------------------------

BOOLEAN UsbBusDevice::EnterOwner(ULONG SlotIndex, UCHAR Kind, UsbOwnerCall* Call) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  BOOLEAN entered = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&BindingLock, &irql);
  PDEVICE_OBJECT owner = channel.Owner;
  auto* bound = owner ? static_cast<UsbBusDevice*>(WdmDevice::FromDeviceObject(owner)) : nullptr;
  if (bound && bound->Binding.Bound && (Kind == 0 || bound->Binding.Kind == Kind)) {
    Call->Kind = bound->Binding.Kind;
    Call->Context = bound->Binding.Context;
    Call->DataReceived = bound->Binding.DataReceived;
    Call->LineEvent = bound->Binding.LineEvent;
    Call->WriteComplete = bound->Binding.WriteComplete;
    Call->DeviceState = bound->Binding.DeviceState;
    InterlockedIncrement(&channel.Callbacks);
    KeClearEvent(&channel.CallbacksDone);
    entered = TRUE;
  }
  KeReleaseSpinLock(&BindingLock, irql);
  return entered;
}

void UsbBusDevice::LeaveOwner(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&BindingLock, &irql);
  if (InterlockedDecrement(&channel.Callbacks) == 0) KeSetEvent(&channel.CallbacksDone, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&BindingLock, irql);
}

// After an unbinding nothing new enters; this waits out the calls already made, so the
// function driver may go once its ChannelStop has returned.
void UsbBusDevice::DrainCallbacks(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&BindingLock, &irql);
    LONG calls = channel.Callbacks;
    KeReleaseSpinLock(&BindingLock, irql);
    if (calls == 0) return;
    KeWaitForSingleObject(&channel.CallbacksDone, Executive, KernelMode, FALSE, nullptr);
  }
}

void UsbBusDevice::ReportCarrierLost(ULONG SlotIndex) {
  UsbOwnerCall call;
  if (!EnterOwner(SlotIndex, CHANNEL_KIND_MODEM, &call)) return;
  KIRQL irql;
  KeAcquireSpinLock(&BindingLock, &irql);
  BOOLEAN hadCarrier = (Channels[SlotIndex].SerialState & 0x1) != 0;
  Channels[SlotIndex].SerialState &= (USHORT)~0x1;
  KeReleaseSpinLock(&BindingLock, irql);
  if (hadCarrier && call.LineEvent) call.LineEvent(call.Context, CHANNEL_EVENT_DCD_OFF);
  LeaveOwner(SlotIndex);
}

// ---- Reception --------------------------------------------------------------------------------

UsbReadRecord* UsbBusDevice::NewRead(UsbSlotChannel& Channel, UCHAR Kind, PCHANNEL_BUFFER Buffer) {
  WdmUsbPipe& pipe = Pipes[Channel.Index][UsbPipeBulkIn];
  auto* record = static_cast<UsbReadRecord*>(WdmAllocate(sizeof(UsbReadRecord)));
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  PDEVICE_OBJECT top = Usb.TopOfStack;
  PIRP irp = top ? IoAllocateIrp(top->StackSize, FALSE) : nullptr;
  if (!record || !urb || !irp) {
    WdmFree(record);
    WdmFree(urb);
    WdmFree(Buffer);
    if (irp) IoFreeIrp(irp);
    return nullptr;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  pipe.BuildTransfer(urb, Buffer->Data, Buffer->Length, TRUE, TRUE);
  InitializeListHead(&record->Link);
  record->Irp = irp;
  record->Urb = urb;
  record->Buffer = Buffer;
  record->Kind = Kind;
  record->Channel = &Channel;
  return record;
}

void UsbBusDevice::FreeRead(UsbReadRecord* Record) {
  if (!Record) return;
  WdmFree(Record->Buffer);
  WdmFree(Record->Urb);
  IoFreeIrp(Record->Irp);
  WdmFree(Record);
}

// One read's end: the count it held goes, and with the last one the drain event is set.
// Nothing of the device is touched after this.
void UsbBusDevice::EndRead(UsbSlotChannel& Channel) {
  KIRQL irql;
  KeAcquireSpinLock(&Channel.InLock, &irql);
  if (--Channel.InPending == 0) KeSetEvent(&Channel.InDrained, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&Channel.InLock, irql);
}

// Submits a read whose count InPending already holds, and the re-arms its own completion
// leaves behind when it runs inside the submission: a pipe that fails every transfer at
// once is retried in this loop, never by recursion.
void UsbBusDevice::SubmitReads(UsbReadRecord* Record) {
  UsbSlotChannel& channel = *Record->Channel;
  PKTHREAD self = KeGetCurrentThread();
  while (Record) {
    KIRQL irql;
    KeAcquireSpinLock(&channel.InLock, &irql);
    if (channel.InErrors >= kReceptionStopped) {
      // Stopped meanwhile: this read never starts.
      KeReleaseSpinLock(&channel.InLock, irql);
      FreeRead(Record);
      EndRead(channel);
      return;
    }
    InsertTailList(&channel.InIrps, &Record->Link);
    PKTHREAD outer = channel.InSubmitter;
    channel.InSubmitter = self;
    KeReleaseSpinLock(&channel.InLock, irql);

    Usb.SubmitUrbWithIrp(Record->Irp, Record->Urb, ReadComplete, Record);

    KeAcquireSpinLock(&channel.InLock, &irql);
    channel.InSubmitter = outer;
    Record = channel.InDeferred;
    channel.InDeferred = nullptr;
    KeReleaseSpinLock(&channel.InLock, irql);
  }
}

// Reception switched on afresh (channel start, resume): the bias count, then the first read.
void UsbBusDevice::BeginReception(ULONG SlotIndex, UCHAR Kind) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  channel.InPending = 1;
  KeClearEvent(&channel.InDrained);
  KeReleaseSpinLock(&channel.InLock, irql);
  StartReception(SlotIndex, Kind);
}

void UsbBusDevice::StartReception(ULONG SlotIndex, UCHAR Kind) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  channel.InHold = 0;
  channel.InErrors = 0;
  channel.InKind = Kind;
  KeReleaseSpinLock(&channel.InLock, irql);
  PCHANNEL_BUFFER buffer = NewReceiveBuffer();
  UsbReadRecord* record = buffer ? NewRead(channel, Kind, buffer) : nullptr;
  if (!record) {
    // Without memory reception simply does not start.
    ReportCarrierLost(SlotIndex);
    return;
  }
  KeAcquireSpinLock(&channel.InLock, &irql);
  channel.InPending++;
  KeClearEvent(&channel.InDrained);
  KeReleaseSpinLock(&channel.InLock, irql);
  SubmitReads(record);
}

void UsbBusDevice::ReadComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* record = static_cast<UsbReadRecord*>(Context);
  UsbSlotChannel& channel = *record->Channel;
  UsbBusDevice* device = channel.Device;
  ULONG slot = channel.Index;
  NTSTATUS status = Irp->IoStatus.Status;
  BOOLEAN failed = !NT_SUCCESS(status) || !USBD_SUCCESS(record->Urb->UrbHeader.Status);

  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  RemoveEntryList(&record->Link);
  BOOLEAN stop = device->PnpState != kStateStarted;
  ULONG received = 0;
  if (!stop && failed) {
    if (channel.InErrors < kReceptionStopped) channel.InErrors++;
    stop = IsRemovalStatus(status) || channel.InErrors > device->BulkINRetryLimit;
  } else if (!stop) {
    if (channel.InErrors < kReceptionStopped) channel.InErrors = 0;
    received = record->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > CHANNEL_BUFFER_DATA_SIZE) received = CHANNEL_BUFFER_DATA_SIZE;
  }
  KeReleaseSpinLock(&channel.InLock, irql);

  if (stop) {
    BOOLEAN wasStarted = device->PnpState == kStateStarted;
    device->FreeRead(record);
    if (wasStarted) device->ReportCarrierLost(slot);
    device->EndRead(channel);
    return;
  }

  // The next buffer before the delivery: the one filled goes to the function driver.
  PCHANNEL_BUFFER next = NewReceiveBuffer();
  PCHANNEL_BUFFER filled = record->Buffer;
  record->Buffer = nullptr;
  filled->Length = received;
  filled->Offset = 0;
  UCHAR kind = record->Kind;
  device->FreeRead(record);

  UsbOwnerCall call;
  if (received && device->EnterOwner(slot, kind, &call)) {
    if (call.DataReceived) {
      call.DataReceived(call.Context, filled);
      filled = nullptr;
    }
    device->LeaveOwner(slot);
  }
  WdmFree(filled);

  // Re-arm, decided under the lock a stop takes: a stopped or held slot starts nothing.
  UsbReadRecord* again = next ? device->NewRead(channel, kind, next) : nullptr;
  BOOLEAN armed = FALSE;
  KeAcquireSpinLock(&channel.InLock, &irql);
  if (again && channel.InHold == 1) {
    channel.InHold = 2;
  } else if (again && channel.InHold == 0 && channel.InErrors < kReceptionStopped &&
             device->PnpState == kStateStarted) {
    channel.InPending++;
    armed = TRUE;
    if (channel.InSubmitter == KeGetCurrentThread()) {
      // Completed inside our own submission: the submitter sends it when it returns.
      channel.InDeferred = again;
      again = nullptr;
    }
  }
  BOOLEAN held = channel.InHold == 2;
  KeReleaseSpinLock(&channel.InLock, irql);
  if (armed && again) {
    device->SubmitReads(again);
  } else if (!armed) {
    device->FreeRead(again);
    if (!held) device->ReportCarrierLost(slot);
  }
  device->EndRead(channel);
}

void UsbBusDevice::StopReception(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  channel.InErrors = kReceptionStopped;
  BOOLEAN inFlight = channel.InPending > 1;
  KeReleaseSpinLock(&channel.InLock, irql);
  if (inFlight) Pipes[SlotIndex][UsbPipeBulkIn].AbortPipe();

  KeAcquireSpinLock(&channel.InLock, &irql);
  if (channel.InPending != 0 && --channel.InPending == 0) KeSetEvent(&channel.InDrained, IO_NO_INCREMENT, FALSE);
  channel.InHold = channel.InPending ? 1 : channel.InHold;
  KeReleaseSpinLock(&channel.InLock, irql);

  for (;;) {
    KeAcquireSpinLock(&channel.InLock, &irql);
    BOOLEAN drained = channel.InPending == 0;
    if (!drained) {
      for (PLIST_ENTRY e = channel.InIrps.Flink; e != &channel.InIrps; e = e->Flink) {
        IoCancelIrp(CONTAINING_RECORD(e, UsbReadRecord, Link)->Irp);
      }
    }
    KeReleaseSpinLock(&channel.InLock, irql);
    if (drained) return;
    LARGE_INTEGER retry;
    retry.QuadPart = kStopRetry;
    if (KeWaitForSingleObject(&channel.InDrained, Executive, KernelMode, FALSE, &retry) == STATUS_TIMEOUT) {
      Pipes[SlotIndex][UsbPipeBulkIn].AbortPipe();
    }
  }
}

void UsbBusDevice::HoldReception(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  if (channel.InHold == 0) channel.InHold = 1;
  KeReleaseSpinLock(&channel.InLock, irql);
}

void UsbBusDevice::ReleaseHold(ULONG SlotIndex) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.InLock, &irql);
  // Claimed under the lock: a second release finds nothing parked.
  BOOLEAN parked = channel.InHold == 2 && channel.InErrors < kReceptionStopped;
  channel.InHold = 0;
  UCHAR kind = channel.InKind;
  KeReleaseSpinLock(&channel.InLock, irql);
  if (parked) StartReception(SlotIndex, kind);
}

// ---- Transmission ----------------------------------------------------------------------------

LONG UsbBusDevice::SubmitWrite(ULONG SlotIndex, UCHAR Kind, PCHANNEL_BUFFER Buffer) {
  if (SlotIndex > 1) return 0;
  UsbSlotChannel& channel = Channels[SlotIndex];
  WdmUsbPipe& pipe = Pipes[SlotIndex][UsbPipeBulkOut];
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (!urb) return 0;
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  pipe.BuildTransfer(urb, Buffer->Data, Buffer->Length, FALSE, FALSE);
  KIRQL irql;
  KeAcquireSpinLock(&channel.OutLock, &irql);
  // One write at a time: a second would share the first one's context.
  if (channel.OutPending != 0) {
    KeReleaseSpinLock(&channel.OutLock, irql);
    WdmFree(urb);
    return 0;
  }
  channel.OutPending = 1;
  KeClearEvent(&channel.OutDrained);
  channel.OutUrb = urb;
  channel.OutBuffer = Buffer;
  channel.OutKind = Kind;
  channel.OutCancelled = FALSE;
  KeReleaseSpinLock(&channel.OutLock, irql);
  // The completion runs exactly once, also for a submission that fails at once, and
  // frees the URB and buffer there.
  Usb.SubmitUrb(urb, WriteComplete, &channel);
  return 1;
}

// A write that did not reach the phone is reported with length 0, so a function driver
// that keeps one chunk at the bus goes on; only a write the function driver stopped
// itself (ChannelStop) ends silently.
void UsbBusDevice::WriteComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* channelPtr = static_cast<UsbSlotChannel*>(Context);
  UsbSlotChannel& channel = *channelPtr;
  UsbBusDevice* device = channel.Device;
  ULONG slot = channel.Index;
  KIRQL irql;
  KeAcquireSpinLock(&channel.OutLock, &irql);
  PURB urb = channel.OutUrb;
  PCHANNEL_BUFFER buffer = channel.OutBuffer;
  UCHAR kind = channel.OutKind;
  BOOLEAN silent = channel.OutCancelled;
  channel.OutUrb = nullptr;
  channel.OutBuffer = nullptr;
  KeReleaseSpinLock(&channel.OutLock, irql);

  BOOLEAN failed = !NT_SUCCESS(Irp->IoStatus.Status) || !urb || !USBD_SUCCESS(urb->UrbHeader.Status);
  ULONG length = buffer ? buffer->Length : 0;
  // The function driver allocated it, under a tag of its own.
  if (buffer) ExFreePool(buffer);
  WdmFree(urb);
  if (failed && device->PnpState == kStateStarted) device->ReportCarrierLost(slot);
  UsbOwnerCall call;
  if (!silent && device->EnterOwner(slot, kind, &call)) {
    if (call.WriteComplete) call.WriteComplete(call.Context, failed ? 0 : length);
    device->LeaveOwner(slot);
  }
  KeAcquireSpinLock(&channel.OutLock, &irql);
  if (--channel.OutPending == 0) KeSetEvent(&channel.OutDrained, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&channel.OutLock, irql);
}

void UsbBusDevice::AbortWrites(ULONG SlotIndex, BOOLEAN Silent) {
  UsbSlotChannel& channel = Channels[SlotIndex];
  KIRQL irql;
  KeAcquireSpinLock(&channel.OutLock, &irql);
  BOOLEAN pending = channel.OutPending != 0;
  if (pending && Silent) channel.OutCancelled = TRUE;
  KeReleaseSpinLock(&channel.OutLock, irql);
  if (!pending) return;
  Pipes[SlotIndex][UsbPipeBulkOut].AbortPipe();
  // The completion touches this device: it must have run before a stop or removal goes on.
  for (;;) {
    KeAcquireSpinLock(&channel.OutLock, &irql);
    pending = channel.OutPending != 0;
    KeReleaseSpinLock(&channel.OutLock, irql);
    if (!pending) return;
    LARGE_INTEGER retry;
    retry.QuadPart = kStopRetry;
    if (KeWaitForSingleObject(&channel.OutDrained, Executive, KernelMode, FALSE, &retry) == STATUS_TIMEOUT) {
      Pipes[SlotIndex][UsbPipeBulkOut].AbortPipe();
    }
  }
}
