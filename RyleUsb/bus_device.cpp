// The bus device on the PnP device base: construction in its two roles, the bus FDO's
// stop, removal and capability handling, and the IRPs it passes to the phone's stack.
#include "bus_device.h"

void UsbBusDevice::InitializeCommon() {
  InitializeListHead(&ChildTemplates);
  InitializeListHead(&Children);
  InitializeListHead(&ChildLink);
  ExInitializeFastMutex(&ChildLock);
  KeInitializeSpinLock(&BindingLock);
  RtlZeroMemory(EmptySlots, sizeof(EmptySlots));
  RtlZeroMemory(Channels, sizeof(Channels));
  RtlZeroMemory(&Binding, sizeof(Binding));
  RtlZeroMemory(SerialNumber, sizeof(SerialNumber));
  for (ULONG i = 0; i < kSlots; i++) {
    DeviceInfoPath[i] = nullptr;
    for (ULONG k = 0; k < UsbPipeKinds; k++) EmptySlots[i].PipeInterface[k] = -1;
    Channels[i].Device = this;
    Channels[i].Index = i;
    Channels[i].NotifyState = kNotifyStopped;
    KeInitializeEvent(&Channels[i].NotifyEvent, NotificationEvent, TRUE);
    KeInitializeSpinLock(&Channels[i].NotifyLock);
    KeInitializeEvent(&Channels[i].CallbacksDone, NotificationEvent, TRUE);
    KeInitializeSpinLock(&Channels[i].InLock);
    KeInitializeSpinLock(&Channels[i].OutLock);
    KeInitializeEvent(&Channels[i].InDrained, NotificationEvent, TRUE);
    KeInitializeEvent(&Channels[i].OutDrained, NotificationEvent, TRUE);
    InitializeListHead(&Channels[i].InIrps);
    Channels[i].InErrors = kReceptionStopped;
  }
  Slot = EmptySlots;
  InitializeListHead(&Work.Items);
  KeInitializeSpinLock(&Work.QueueLock);
  Work.Running = FALSE;
  Work.LastResponseLength = 0;
  Work.RemovalItem = nullptr;
}

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
      ChildTemplateCount(0),
      Configuration(nullptr),
      ConfigurationBytes(nullptr),
      ConfigurationLength(0),
      ConfigurationHandle(nullptr),
      RemoteWakeup(FALSE),
      HasSerialNumber(FALSE),
      ChildCount(0),
      ChildrenCreated(FALSE),
      Parent(nullptr),
      HardwareIds(nullptr),
      HardwareIdsSize(0),
      Description(nullptr),
      DescriptionSize(0),
      InstanceId(nullptr),
      InstanceIdSize(0),
      UniqueId(FALSE),
      ChildPnpState(kNeverStarted),
      ChildPreviousPnpState(kNeverStarted),
      Present(FALSE),
      OpenState(0) {
  InitializeCommon();
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

UsbBusDevice::UsbBusDevice(const WdmDeviceCreation& creation, UsbBusDevice* ParentDevice)
    : WdmPnpDevice(creation, nullptr),
      IsBusFdo(FALSE),
      PhysicalDeviceObject(ParentDevice->PhysicalDeviceObject),
      Unit(ParentDevice->Unit),
      PnpState(kNeverStarted),
      PreviousPnpState(kNeverStarted),
      BulkINRetryLimit(ParentDevice->BulkINRetryLimit),
      UsbMode(ParentDevice->UsbMode),
      UpMaxKeepDataSize(ParentDevice->UpMaxKeepDataSize),
      DownMaxKeepDataSize(ParentDevice->DownMaxKeepDataSize),
      ChildTemplateCount(0),
      Configuration(nullptr),
      ConfigurationBytes(nullptr),
      ConfigurationLength(0),
      ConfigurationHandle(nullptr),
      RemoteWakeup(FALSE),
      HasSerialNumber(FALSE),
      ChildCount(0),
      ChildrenCreated(FALSE),
      Parent(ParentDevice),
      HardwareIds(nullptr),
      HardwareIdsSize(0),
      Description(nullptr),
      DescriptionSize(0),
      InstanceId(nullptr),
      InstanceIdSize(0),
      UniqueId(FALSE),
      ChildPnpState(kNeverStarted),
      ChildPreviousPnpState(kNeverStarted),
      Present(TRUE),
      OpenState(0) {
  InitializeCommon();
  SetDefaultPnpPolicies();
  SetDefaultPowerPolicies(FALSE);
  // A child outlives its own REMOVE_DEVICE (its parent deletes it) and may start again;
  // it never passes IRPs down and finishes only start, stop and remove in the base.
  RemovalPolicy &= ~(kDestroyAtRemoval | kNoReuse);
  ForwardSet = 0;
  FinishSet = 0x43;
  QueryRemovePolicy &= ~kWaitForIdle;
}

UsbBusDevice::~UsbBusDevice() {
  FreeChildTemplates();
  WdmFree(HardwareIds);
  WdmFree(Description);
  WdmFree(InstanceId);
  WdmFree(ConfigurationBytes);
  WdmFree(Configuration);
}

void UsbBusDevice::EnterState(ULONG NewState) {
  PreviousPnpState = PnpState;
  PnpState = NewState;
}

UCHAR UsbBusDevice::SlotFunction(ULONG SlotIndex) const {
  static const UCHAR kCodes[3][kSlots] = {
      {CHANNEL_KIND_MODEM, CHANNEL_KIND_OBEX, CHANNEL_KIND_AT},
      {CHANNEL_KIND_MODEM, CHANNEL_KIND_EXTRA, CHANNEL_KIND_AT},
      {CHANNEL_KIND_EXTRA, CHANNEL_KIND_OBEX, 0},
  };
  if (SlotIndex >= kSlots || UsbMode < 1 || UsbMode > 3) return 0;
  return kCodes[UsbMode - 1][SlotIndex];
}

LONG UsbBusDevice::SlotOfKind(UCHAR Kind) const {
  switch (Kind) {
    case CHANNEL_KIND_MODEM:
      return 0;
    case CHANNEL_KIND_OBEX:
      return 1;
    case CHANNEL_KIND_AT:
      return 2;
    case CHANNEL_KIND_EXTRA:
      return UsbMode == 2 ? 1 : 0;
    default:
      return -1;
  }
}

NTSTATUS UsbBusDevice::OnQueryStopDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  EnterState(kStateStopPending);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnCancelStopDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  if (PnpState == kStateStopPending) PnpState = PreviousPnpState;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnStopDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  if (PnpState == kNeverStarted || PnpState == kStateStopped || PnpState == kStateRemoved) return STATUS_SUCCESS;
  // The functions are released before the readers stop: their replies arrive on them.
  ShutDownChannels();
  EnterState(kStateStopped);
  for (ULONG s = 0; s < kSlots; s++) Channels[s].ProbeOk = FALSE;
  StopNotifications();
  Usb.Deconfigure();
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnQueryRemoveDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  EnterState(kStateRemovePending);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnCancelRemoveDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  if (PnpState == kStateRemovePending) PnpState = PreviousPnpState;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnSurpriseRemoval(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  EnterState(kStateSurpriseRemoved);
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnRemoveDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  // The worker ends first: nothing it runs may reach the phone or a function driver after.
  StopWorker();
  BOOLEAN neverStarted = PnpState == kNeverStarted && PreviousPnpState == kNeverStarted;
  EnterState(kStateRemoved);
  if (!neverStarted) {
    StopNotifications();
    Usb.ReleaseConfiguration();
  }
  // Nothing may keep the object past its removal: the base destroys it now.
  OpenCount = 0;
  FreeChildTemplates();
  DeleteChildren();
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnQueryCapabilities(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  NTSTATUS status = Usb.CallDownAndWait(Irp, TRUE);
  if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status, Irp->IoStatus.Information);
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceD0;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  if (!RemoteWakeup) {
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
  }
  caps->UINumber = 0xFFFFFFFF;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
  caps->LockSupported = FALSE;
  caps->EjectSupported = FALSE;
  caps->DockDevice = FALSE;
  caps->SilentInstall = FALSE;
  caps->RawDeviceOK = FALSE;
  caps->HardwareDisabled = FALSE;
  caps->NonDynamic = FALSE;
  caps->WarmEjectSupported = FALSE;
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  SavedCapabilities = *caps;
  return CompleteIrp(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

NTSTATUS UsbBusDevice::OnQueryDeviceRelations(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type == ::BusRelations) {
    return BusRelations(Irp);
  }
  return Usb.PassDown(this, Irp);
}

NTSTATUS UsbBusDevice::OnQueryId(PIRP Irp) { return IsBusFdo ? DefaultPnp(Irp) : ChildPnp(Irp); }
NTSTATUS UsbBusDevice::OnQueryDeviceText(PIRP Irp) { return IsBusFdo ? DefaultPnp(Irp) : ChildPnp(Irp); }
NTSTATUS UsbBusDevice::OnQueryBusInformation(PIRP Irp) { return IsBusFdo ? DefaultPnp(Irp) : ChildPnp(Irp); }
NTSTATUS UsbBusDevice::OnDeviceUsageNotification(PIRP Irp) { return IsBusFdo ? DefaultPnp(Irp) : ChildPnp(Irp); }
NTSTATUS UsbBusDevice::OnEject(PIRP Irp) { return IsBusFdo ? DefaultPnp(Irp) : ChildPnp(Irp); }

NTSTATUS UsbBusDevice::DefaultPnp(PIRP Irp) {
  if (!IsBusFdo) return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  if (State & kRemoved) return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  return Usb.PassDown(this, Irp);
}

NTSTATUS UsbBusDevice::Power(PIRP Irp) {
  if (!IsBusFdo) return ChildPower(Irp);
  return WdmPnpDevice::Power(Irp);
}

NTSTATUS UsbBusDevice::OnWaitWake(PIRP Irp) { return IsBusFdo ? WdmPnpDevice::OnWaitWake(Irp) : ChildPower(Irp); }
NTSTATUS UsbBusDevice::OnSetPower(PIRP Irp) { return IsBusFdo ? WdmPnpDevice::OnSetPower(Irp) : ChildPower(Irp); }
NTSTATUS UsbBusDevice::OnQueryPower(PIRP Irp) { return IsBusFdo ? WdmPnpDevice::OnQueryPower(Irp) : ChildPower(Irp); }

NTSTATUS UsbBusDevice::DefaultPower(PIRP Irp) {
  if (!IsBusFdo) return CompletePowerIrp(Irp, STATUS_NOT_SUPPORTED);
  if (State & kRemoved) return CompletePowerIrp(Irp, STATUS_DELETE_PENDING);
  return Usb.PassDownPower(this, Irp);
}

NTSTATUS UsbBusDevice::SystemControl(PIRP Irp) {
  if (!IsBusFdo) return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  return Usb.PassDown(this, Irp);
}
