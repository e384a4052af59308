// The bus device on the PnP device base: construction in the bus-FDO role above the
// phone's PDO, its policies, and what it does at start, stop, removal and in power IRPs
// the base passes on.
#include "bus_device.h"

UsbBusDevice::UsbBusDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Pdo, ULONG UnitNumber)
    : WdmPnpDevice(creation, Pdo),
      IsBusFdo(TRUE),
      PhysicalDeviceObject(Pdo),
      Unit(UnitNumber),
      PnpState(kNeverStarted),
      PreviousPnpState(kNeverStarted),
      BulkINRetryLimit(kDefaultBulkInRetryLimit),
      UsbMode(0),
      UpMaxKeepDataSize(kDefaultKeepDataSize),
      DownMaxKeepDataSize(kDefaultKeepDataSize),
      ChildTemplateCount(0) {
  InitializeListHead(&ChildTemplates);
  for (ULONG i = 0; i < kSlots; i++) {
    DeviceInfoPath[i] = nullptr;
    Slot[i].SlotPresent = FALSE;
    Slot[i].FunctionId = 0;
  }
  SetDefaultPnpPolicies();
  SetDefaultPowerPolicies(FALSE);
  // The bus's own adjustments: an open channel does not veto sleep, the capabilities are
  // the bus's own answer, and the phone follows the machine back to S0.
  QueryPowerPolicy &= ~kBusyWhileOpen;
  PowerPolicy &= ~kQueryCapabilities;
  PowerPolicy |= kFollowSystemWake;
  NTSTATUS status = AttachLowerDevice(&Usb);
  if (!NT_SUCCESS(status)) ConstructionStatus = status;
}

UsbBusDevice::~UsbBusDevice() { FreeChildTemplates(); }

void UsbBusDevice::EnterState(ULONG NewState) {
  PreviousPnpState = PnpState;
  PnpState = NewState;
}

NTSTATUS UsbBusDevice::OnStartDevice(PIRP Irp) {
  Irp->IoStatus.Information = 0;
  // The USB configuration (slots, interfaces, pipes) is not read yet: until it is, the
  // phone cannot be served and the start fails as a missing slot makes it fail.
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbBusDevice::OnQueryStopDevice(PIRP) {
  EnterState(kStateStopPending);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnCancelStopDevice(PIRP) {
  if (PnpState == kStateStopPending) PnpState = PreviousPnpState;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnStopDevice(PIRP) {
  if (PnpState == kNeverStarted || PnpState == kStateStopped || PnpState == kStateRemoved) return STATUS_SUCCESS;
  EnterState(kStateStopped);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnQueryRemoveDevice(PIRP) {
  EnterState(kStateRemovePending);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnCancelRemoveDevice(PIRP) {
  if (PnpState == kStateRemovePending) PnpState = PreviousPnpState;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnSurpriseRemoval(PIRP) {
  EnterState(kStateSurpriseRemoved);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnRemoveDevice(PIRP) {
  EnterState(kStateRemoved);
  // Nothing may keep the object past its removal: the base destroys it now.
  OpenCount = 0;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::DefaultPnp(PIRP Irp) {
  if (State & kRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  return Usb.PassDown(this, Irp);
}

NTSTATUS UsbBusDevice::DefaultPower(PIRP Irp) {
  if (State & kRemoved) return CompletePowerIrp(Irp, STATUS_DELETE_PENDING);
  return Usb.PassDownPower(this, Irp);
}

NTSTATUS UsbBusDevice::SystemControl(PIRP Irp) { return Usb.PassDown(this, Irp); }
