// The AT channel device on the PnP device base: construction above the AT child, the
// requests it passes to the child unchanged, and what it does at start, stop and removal.
#include "at_device.h"

AtChannelDevice::AtChannelDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Pdo)
    : WdmPnpDevice(creation, Pdo), IsOpen(0), QueuedBytes(0), TxQueue(0), TxPaused(0) {
  RtlZeroMemory(&Binding, sizeof(Binding));
  TxLock.Initialize();
  SetDefaultPnpPolicies();
  NTSTATUS status = AttachLowerDevice(&Lower);
  if (!NT_SUCCESS(status)) ConstructionStatus = status;
}

// Chunks still queued belong to no one else: they go with the device.
AtChannelDevice::~AtChannelDevice() { Flush(); }

NTSTATUS AtChannelDevice::PassDown(PIRP Irp) { return Lower.PassDown(this, Irp); }

// The child answers these itself; this driver adds nothing to them.
NTSTATUS AtChannelDevice::Read(PIRP Irp) { return PassDown(Irp); }
NTSTATUS AtChannelDevice::Write(PIRP Irp) { return PassDown(Irp); }
NTSTATUS AtChannelDevice::DeviceControl(PIRP Irp) { return PassDown(Irp); }
NTSTATUS AtChannelDevice::InternalDeviceControl(PIRP Irp) { return PassDown(Irp); }
NTSTATUS AtChannelDevice::Cleanup(PIRP Irp) { return PassDown(Irp); }
NTSTATUS AtChannelDevice::SystemControl(PIRP Irp) { return PassDown(Irp); }

NTSTATUS AtChannelDevice::OnStartDevice(PIRP Irp) {
  Irp->IoStatus.Information = 0;
  Flush();
  return STATUS_SUCCESS;
}

NTSTATUS AtChannelDevice::OnStopDevice(PIRP) { return STATUS_SUCCESS; }

NTSTATUS AtChannelDevice::OnRemoveDevice(PIRP) {
  // A port above that was surprise-removed finishes its close without passing it down,
  // so the channel may still be bound here. Left bound, the bus would go on calling into
  // this device after it is deleted; stop it while the child is still there to hear it.
  if (IsOpen) StopChannel();
  Flush();
  // The device goes with this remove even when a client never closed it.
  OpenCount = 0;
  return STATUS_SUCCESS;
}

NTSTATUS AtChannelDevice::DefaultPnp(PIRP Irp) {
  if (State & kRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  return PassDown(Irp);
}

NTSTATUS AtChannelDevice::DefaultPower(PIRP Irp) {
  if (State & kRemoved) return CompletePowerIrp(Irp, STATUS_DELETE_PENDING);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return Lower.ForwardPowerIrp(this, Irp);
}
