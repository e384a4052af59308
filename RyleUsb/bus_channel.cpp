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

// Starting and stopping a channel activates the function in the phone and runs its data
// path; until that path exists a channel cannot be started, and so cannot be stopped.
LONG NTAPI ChannelStart(PDEVICE_OBJECT device, ULONG_PTR) {
  UsbBusDevice* d = BoundDevice(device);
  if (!d || d->Binding.Started) return 0;
  return 0;
}

LONG NTAPI ChannelStop(PDEVICE_OBJECT device, ULONG_PTR) {
  if (!StartedDevice(device)) return 0;
  return 0;
}

LONG NTAPI SetLineCoding(PDEVICE_OBJECT device, PCHANNEL_LINE_CODING) { return StartedDevice(device) ? 0 : 0; }
LONG NTAPI SetLineControl(PDEVICE_OBJECT device, ULONG_PTR) { return StartedDevice(device) ? 0 : 0; }
LONG NTAPI WriteBuffer(PDEVICE_OBJECT device, PCHANNEL_BUFFER) { return StartedDevice(device) ? 0 : 0; }
LONG NTAPI ReceiveHold(PDEVICE_OBJECT device, ULONG_PTR) { return StartedDevice(device) ? 0 : 0; }

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
    Binding.ControlLines = 0;
    Binding.SerialState = 0;
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
