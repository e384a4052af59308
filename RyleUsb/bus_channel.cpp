// The channel interface of the bus: binding a function driver's record on IRP_MJ_CREATE,
// the entry points the bus writes into it, close and cleanup, and the bus information
// request the OBEX control driver asks for the mode.
#include "bus_device.h"

namespace {

UsbBusDevice* DeviceOf(PDEVICE_OBJECT device) {
  return device ? static_cast<UsbBusDevice*>(WdmDevice::FromDeviceObject(device)) : nullptr;
}

// The device's binding when `device` is the bound device of a record, else null.
UsbBusDevice* BoundDevice(PDEVICE_OBJECT device) {
  UsbBusDevice* d = DeviceOf(device);
  if (!d || !d->Binding.Bound || !d->Binding.Record || d->Binding.Record->BusDevice != device) return nullptr;
  return d;
}

UsbBusDevice* StartedDevice(PDEVICE_OBJECT device) {
  UsbBusDevice* d = BoundDevice(device);
  return d && d->Binding.Started ? d : nullptr;
}

const ULONG kLineCodingBytes = 7;

LONG NTAPI ChannelStart(PDEVICE_OBJECT device, ULONG_PTR) {
  UsbBusDevice* d = BoundDevice(device);
  if (!d || d->Binding.Started || KeGetCurrentIrql() != PASSIVE_LEVEL) return 0;
  return d->Bus()->StartChannel(d);
}

LONG NTAPI ChannelStop(PDEVICE_OBJECT device, ULONG_PTR) {
  UsbBusDevice* d = StartedDevice(device);
  if (!d || KeGetCurrentIrql() != PASSIVE_LEVEL) return 0;
  return d->Bus()->StopChannel(d);
}

LONG NTAPI SetLineCoding(PDEVICE_OBJECT device, PCHANNEL_LINE_CODING coding) {
  UsbBusDevice* d = StartedDevice(device);
  if (!d) return 0;
  if (d->Binding.Kind != CHANNEL_KIND_MODEM) return 1;
  if (!coding) return 0;
  auto* bytes = static_cast<PUCHAR>(WdmAllocate(kLineCodingBytes));
  if (!bytes) return 0;
  // The CDC line coding: dwDTERate, bCharFormat, bParityType, bDataBits.
  ULONG rate = coding->DataRate;
  bytes[0] = (UCHAR)rate;
  bytes[1] = (UCHAR)(rate >> 8);
  bytes[2] = (UCHAR)(rate >> 16);
  bytes[3] = (UCHAR)(rate >> 24);
  bytes[4] = (UCHAR)coding->StopBits;
  bytes[5] = (UCHAR)coding->Parity;
  bytes[6] = (UCHAR)coding->DataBits;
  if (d->Bus()->PostWork(UsbBusDevice::kWorkLineCoding, d->Binding.Slot, nullptr, bytes, kLineCodingBytes)) return 1;
  WdmFree(bytes);
  return 0;
}

LONG NTAPI SetLineControl(PDEVICE_OBJECT device, ULONG_PTR code) {
  UsbBusDevice* d = StartedDevice(device);
  if (!d || (d->Binding.Kind != CHANNEL_KIND_MODEM && d->Binding.Kind != CHANNEL_KIND_AT)) return 0;
  UsbBusDevice* bus = d->Bus();
  ULONG slot = d->Binding.Slot;
  if (code == CHANNEL_BREAK_ON || code == CHANNEL_BREAK_OFF) {
    auto* value = static_cast<PUSHORT>(WdmAllocate(sizeof(USHORT)));
    if (!value) return 0;
    *value = code == CHANNEL_BREAK_ON ? 0xFFFF : 0;
    if (bus->PostWork(UsbBusDevice::kWorkBreak, slot, nullptr, value, sizeof(USHORT))) return 1;
    WdmFree(value);
    return 0;
  }
  USHORT bit;
  BOOLEAN on;
  switch (code) {
    case CHANNEL_DTR_ON: bit = 0x1; on = TRUE; break;
    case CHANNEL_DTR_OFF: bit = 0x1; on = FALSE; break;
    case CHANNEL_RTS_ON: bit = 0x2; on = TRUE; break;
    case CHANNEL_RTS_OFF: bit = 0x2; on = FALSE; break;
    default: return 0;
  }
  UsbSlotChannel& channel = bus->Channels[slot];
  KIRQL irql;
  KeAcquireSpinLock(&bus->BindingLock, &irql);
  USHORT old = channel.ControlLines;
  channel.ControlLines = on ? (USHORT)(old | bit) : (USHORT)(old & ~bit);
  BOOLEAN changed = channel.ControlLines != old;
  KeReleaseSpinLock(&bus->BindingLock, irql);
  if (!changed) return 1;
  // The worker sends the word as it is when it gets there.
  return bus->PostWork(UsbBusDevice::kWorkControlLines, slot, nullptr, &channel.ControlLines, sizeof(USHORT));
}

LONG NTAPI WriteBuffer(PDEVICE_OBJECT device, PCHANNEL_BUFFER buffer) {
  UsbBusDevice* d = StartedDevice(device);
  if (!d || !buffer || buffer->Length == 0) return 0;
  if (d->Binding.Kind == CHANNEL_KIND_AT) {
    // SEND_ENCAPSULATED_COMMAND carries at most 0xFFFF bytes.
    if (buffer->Length > 0xFFFF) return 0;
    return d->Bus()->PostWork(UsbBusDevice::kWorkCommand, d->Binding.Slot, buffer, nullptr, 0);
  }
  return d->Bus()->SubmitWrite(d->Binding.Slot, d->Binding.Kind, buffer);
}

LONG NTAPI ReceiveHold(PDEVICE_OBJECT device, ULONG_PTR code) {
  UsbBusDevice* d = StartedDevice(device);
  if (!d) return 0;
  ULONG hold = d->Binding.Kind == CHANNEL_KIND_OBEX ? CHANNEL_OBEX_HOLD : CHANNEL_EXTRA_HOLD;
  ULONG release = d->Binding.Kind == CHANNEL_KIND_OBEX ? CHANNEL_OBEX_RELEASE : CHANNEL_EXTRA_RELEASE;
  if (code == hold) d->Bus()->HoldReception(d->Binding.Slot);
  else if (code == release) d->Bus()->ReleaseHold(d->Binding.Slot);
  else return 0;
  return 1;
}

LONG NTAPI GetLimits(PDEVICE_OBJECT device, PCHANNEL_LIMITS limits) {
  UsbBusDevice* d = BoundDevice(device);
  if (!d || !limits) return 0;
  limits->UpMaxKeepDataSize = d->UpMaxKeepDataSize;
  limits->UpHighMark = d->UpMaxKeepDataSize / 3 * 2;
  limits->UpLowMark = d->UpMaxKeepDataSize / 2;
  limits->DownMaxKeepDataSize = d->DownMaxKeepDataSize;
  limits->DownHighMark = d->DownMaxKeepDataSize / 3 * 2;
  limits->DownLowMark = d->DownMaxKeepDataSize / 2;
  return 1;
}

void FillEntryPoints(PCHANNEL_BINDING record, UCHAR kind) {
  record->ChannelStart = ChannelStart;
  record->ChannelStop = ChannelStop;
  record->SetLineCoding = SetLineCoding;
  record->SetLineControl = SetLineControl;
  record->GetLimits = GetLimits;
  record->WriteModem = nullptr;
  record->SendCommand = nullptr;
  record->WriteObex = nullptr;
  record->ObexReceiveHold = nullptr;
  record->WriteExtra = nullptr;
  record->ExtraReceiveHold = nullptr;
  switch (kind) {
    case CHANNEL_KIND_MODEM:
      record->WriteModem = WriteBuffer;
      break;
    case CHANNEL_KIND_AT:
      record->SendCommand = WriteBuffer;
      break;
    case CHANNEL_KIND_OBEX:
      record->WriteObex = WriteBuffer;
      record->ObexReceiveHold = ReceiveHold;
      break;
    case CHANNEL_KIND_EXTRA:
      record->WriteExtra = WriteBuffer;
      record->ExtraReceiveHold = ReceiveHold;
      break;
  }
}

}  // namespace

NTSTATUS UsbBusDevice::Create(PIRP Irp) {
  if (!IsBusFdo && ChildPnpState == kStateRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  if (IsBusFdo && PnpState == kStateRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  return Bind(Irp);
}

NTSTATUS UsbBusDevice::Bind(PIRP Irp) {
  // From user mode the system buffer holds the caller's extended attributes, not a
  // record a kernel driver owns: its addresses would be called in kernel mode.
  if (Irp->RequestorMode != KernelMode) return CompleteIrp(Irp, STATUS_ACCESS_DENIED);
  auto* record = static_cast<PCHANNEL_BINDING>(Irp->AssociatedIrp.SystemBuffer);
  if (!record || InterlockedCompareExchange(&OpenState, 1, 0) != 0) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);

  UCHAR kind = record->Kind;
  UsbBusDevice* bus = Bus();
  LONG slot = bus->SlotOfKind(kind);
  // The extra function is served by the bus FDO: its entry points act on the device they
  // are called with, which on a child would be a device that owns no extra slot.
  if (slot < 0 || (kind == CHANNEL_KIND_EXTRA && !IsBusFdo)) {
    InterlockedExchange(&OpenState, 0);
    return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
  }
  record->BusDevice = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  FillEntryPoints(record, kind);

  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&bus->BindingLock, &irql);
  UsbSlotChannel& channel = bus->Channels[slot];
  // The slot's function must have answered its probe, and a slot has one owner: a second
  // owner would share the first one's transfers.
  if (!channel.ProbeOk || (channel.Owner && channel.Owner != DeviceObject)) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    channel.Owner = DeviceObject;
    Binding.Kind = kind;
    Binding.Slot = (ULONG)slot;
    Binding.Record = record;
    Binding.Started = FALSE;
    switch (kind) {
      case CHANNEL_KIND_MODEM:
        Binding.Context = record->ModemContext;
        Binding.DataReceived = record->ModemDataReceived;
        Binding.LineEvent = record->ModemLineEvent;
        Binding.WriteComplete = record->ModemWriteComplete;
        Binding.DeviceState = record->ModemDeviceState;
        break;
      case CHANNEL_KIND_AT:
        Binding.Context = record->AtContext;
        Binding.DataReceived = record->AtResponseReceived;
        Binding.LineEvent = record->AtLineEvent;
        Binding.WriteComplete = record->AtCommandSent;
        Binding.DeviceState = record->AtDeviceState;
        break;
      case CHANNEL_KIND_OBEX:
        Binding.Context = record->ObexContext;
        Binding.DataReceived = record->ObexDataReceived;
        Binding.LineEvent = nullptr;
        Binding.WriteComplete = record->ObexWriteComplete;
        Binding.DeviceState = record->ObexDeviceState;
        break;
      default:
        Binding.Context = record->ExtraContext;
        Binding.DataReceived = record->ExtraDataReceived;
        Binding.LineEvent = nullptr;
        Binding.WriteComplete = record->ExtraWriteComplete;
        Binding.DeviceState = record->ExtraDeviceState;
        break;
    }
    Binding.Bound = TRUE;
  }
  KeReleaseSpinLock(&bus->BindingLock, irql);
  if (!NT_SUCCESS(status)) InterlockedExchange(&OpenState, 0);
  return CompleteIrp(Irp, status);
}

NTSTATUS UsbBusDevice::Close(PIRP Irp) {
  if (IsBusFdo && PnpState == kStateRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  InterlockedExchange(&OpenState, 0);
  return CompleteIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS UsbBusDevice::Cleanup(PIRP Irp) { return CompleteIrp(Irp, STATUS_SUCCESS); }

NTSTATUS UsbBusDevice::InternalDeviceControl(PIRP Irp) {
  return CompleteIrp(Irp, IsBusFdo ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS UsbBusDevice::DeviceControl(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_CHANNEL_BUS_INFORMATION ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != 4 * sizeof(ULONG) || !Irp->AssociatedIrp.SystemBuffer) {
    return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
  }
  auto* out = static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
  out[0] = UsbMode;
  out[1] = 0;
  out[2] = 0;
  out[3] = (IsBusFdo && PnpState == kStateStarted) ? 0xFFFFFFFF : 0;
  return CompleteIrp(Irp, STATUS_SUCCESS, 4 * sizeof(ULONG));
}

// ---- Starting and stopping a channel -------------------------------------------------------

namespace {

BOOLEAN IsDataKind(UCHAR kind) {
  return kind == CHANNEL_KIND_MODEM || kind == CHANNEL_KIND_OBEX || kind == CHANNEL_KIND_EXTRA;
}

}  // namespace

LONG UsbBusDevice::StartChannel(UsbBusDevice* Bound) {
  ULONG slot = Bound->Binding.Slot;
  UCHAR kind = Bound->Binding.Kind;
  UsbSlotChannel& channel = Channels[slot];
  // The reply to the activation arrives on the slot's reader.
  if (ReaderStopped(slot)) {
    Pipes[slot][UsbPipeInterruptIn].ResetPipe();
    ArmNotification(slot);
  }
  // A binding closed and opened again without a stop left its data running: it ends
  // before the counts start afresh.
  if (channel.Active && IsDataKind(kind)) {
    StopReception(slot);
    AbortWrites(slot, TRUE);
  }
  if (!SendFunctionRequest(kRequestActivate, kind, slot)) return 0;
  if (IsDataKind(kind)) {
    Pipes[slot][UsbPipeBulkIn].ResetPipe();
    Pipes[slot][UsbPipeBulkOut].ResetPipe();
  }
  KIRQL irql;
  KeAcquireSpinLock(&BindingLock, &irql);
  channel.ControlLines = 0;
  channel.SerialState = 0;
  channel.Active = TRUE;
  Bound->Binding.Started = TRUE;
  KeReleaseSpinLock(&BindingLock, irql);
  if (IsDataKind(kind)) BeginReception(slot, kind);
  return 1;
}

LONG UsbBusDevice::StopChannel(UsbBusDevice* Bound) {
  ULONG slot = Bound->Binding.Slot;
  UCHAR kind = Bound->Binding.Kind;
  UsbSlotChannel& channel = Channels[slot];
  ULONG port = 0;
  // Connected unless the hub says otherwise.
  NTSTATUS status = Usb.GetPortStatus(&port);
  BOOLEAN connected = !NT_SUCCESS(status) || (port & USBD_PORT_CONNECTED);
  if (connected && PnpState == kStateStarted && ReaderStopped(slot)) ArmNotification(slot);
  if (IsDataKind(kind)) {
    StopReception(slot);
    AbortWrites(slot, TRUE);
    if (kind == CHANNEL_KIND_EXTRA) HoldReception(slot);
  }
  KIRQL irql;
  KeAcquireSpinLock(&BindingLock, &irql);
  channel.Active = FALSE;
  Bound->Binding.Started = FALSE;
  KeReleaseSpinLock(&BindingLock, irql);
  LONG confirmed = 0;
  if (DevicePowerState == PowerDeviceD0 && connected && PnpState == kStateStarted) {
    confirmed = SendFunctionRequest(kRequestActivate, 0, slot);
  }
  // From now on every entry point refuses until a new open binds again; calls into the
  // function driver already made are waited for, so it may go once this returns.
  KeAcquireSpinLock(&BindingLock, &irql);
  Bound->Binding.Bound = FALSE;
  if (channel.Owner == Bound->DeviceObject) channel.Owner = nullptr;
  KeReleaseSpinLock(&BindingLock, irql);
  DrainCallbacks(slot);
  return confirmed;
}
