// The PnP device base: I/O counting, the gate in front of every IRP, the PnP minor
// dispatcher and its policy bits, the held-IRP queue with cancel, device interfaces and
// the remove sequence. Power handling is in wdm_pnp_power.cpp.
#include "wdm_pnp_device.h"

namespace {

// DO_SHUTDOWN_REGISTERED: the device asked for IRP_MJ_SHUTDOWN.
const ULONG kShutdownRegistered = 0x00000800;
const ULONG kHeldLinkOffset = (ULONG)__builtin_offsetof(IRP, Tail.Overlay.ListEntry);

WdmPnpDevice* PnpDeviceOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<WdmPnpDevice*>(WdmDevice::FromDeviceObject(DeviceObject));
}

// Runs with the cancel spin lock held: the IRP is unlinked under it and completed after.
void NTAPI CancelHeldIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PnpDeviceOf(DeviceObject)->HeldIrps.Remove(Irp);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

struct RedispatchWork {
  WdmPnpDevice* Device;
  PIO_WORKITEM Item;
};

// Held IRPs go back through the gate at PASSIVE_LEVEL only: a member may wait.
void NTAPI RedispatchAtPassive(PDEVICE_OBJECT, PVOID Context) {
  auto* work = static_cast<RedispatchWork*>(Context);
  WdmPnpDevice* device = work->Device;
  IoFreeWorkItem(work->Item);
  WdmFree(work);
  device->ReleaseHeldIrps(FALSE);
  device->ReleaseIo();
}

void CompleteList(LIST_ENTRY* list, NTSTATUS status) {
  while (!IsListEmpty(list)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(list), IRP, Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

}  // namespace

WdmPnpDevice::WdmPnpDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Physical)
    : WdmDevice(creation),
      LowerDevice(nullptr),
      PhysicalDevice(Physical ? Physical : creation.DeviceObject),
      IoCount(1),
      OpenCount(0),
      HeldIrps(kHeldLinkOffset),
      Interfaces(0),
      State(0),
      QueryStopTimeout(0),
      QueryRemoveTimeout(0),
      RemoveTimeout(0),
      DevicePowerState(PowerDeviceUnspecified),
      SystemPowerState(PowerSystemWorking),
      IdleDeviceState(PowerDeviceD3),
      PendingWaitWake(nullptr),
      PowerFlags(0),
      OwnPowerIrps(0),
      IdleCounter(0),
      WaitWakeCancelling(0),
      WaitWakeCanceller(nullptr) {
  PnpLock.Initialize(1);
  // Nothing in progress yet: idle, and as idle as a stopping device can be.
  IdleEvent.Initialize(NotificationEvent, TRUE);
  RemoveEvent.Initialize(NotificationEvent, FALSE);
  StopEvent.Initialize(NotificationEvent, TRUE);
  RtlZeroMemory(&SavedCapabilities, sizeof(SavedCapabilities));
  PowerSequence[0] = PowerSequence[1] = PowerSequence[2] = 0;
  // The concrete class runs its own (or these) again in its constructor.
  WdmPnpDevice::SetDefaultPnpPolicies();
  WdmPnpDevice::SetDefaultPowerPolicies(FALSE);
}

WdmPnpDevice::~WdmPnpDevice() {
  // Nothing held may outlive the device: whatever is left fails as the device goes.
  ReleaseHeldIrps(TRUE);
  while (auto* record = static_cast<InterfaceRecord*>(Interfaces.RemoveHead())) {
    RtlFreeUnicodeString(&record->SymbolicLink);
    WdmFree(record);
  }
}

void WdmPnpDevice::SetDefaultPnpPolicies() {
  RemovalPolicy = 0xFF;
  QueryStopPolicy = kBusyWhileOpen | kBusyWhileIo;
  QueryRemovePolicy = kBusyWhileOpen | kFlushStartIo | kWaitForIdle;
  GatePolicy = 0xDF;
  ForwardSet = 0x1FF;
  FinishSet = 0x1FF;
}

NTSTATUS WdmPnpDevice::AttachLowerDevice(WdmLowerDevice* Lower) {
  NTSTATUS status = Lower->Attach(this, PhysicalDevice);
  if (NT_SUCCESS(status)) LowerDevice = Lower;
  return status;
}

// ---- I/O counting ----------------------------------------------------------------------

void WdmPnpDevice::UpdateStopEvent(LONG Count) {
  if (Count <= 1 + OwnPowerIrps)
    StopEvent.Set();
  else
    StopEvent.Clear();
}

void WdmPnpDevice::AcquireIo() {
  LONG n = InterlockedIncrement(&IoCount);
  if (n == 2) IdleEvent.Clear();
  if (n == 2 + OwnPowerIrps) StopEvent.Clear();
}

void WdmPnpDevice::ReleaseIo() {
  LONG n = InterlockedDecrement(&IoCount);
  if (n == 1 + OwnPowerIrps) StopEvent.Set();
  if (n == 1)
    IdleEvent.Set();
  else if (n == 0)
    RemoveEvent.Set();
}

// The reference goes after the completion: released first, it would let a waiting remove
// delete the device while the IRP is still being completed on it.
NTSTATUS WdmPnpDevice::CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  WdmDevice::CompleteIrp(Irp, Status, Information);
  ReleaseIo();
  return Status;
}

NTSTATUS WdmPnpDevice::CompletePowerIrp(PIRP Irp, NTSTATUS Status) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseIo();
  return Status;
}

static NTSTATUS WaitEvent(WdmEvent& event, LONGLONG timeout) {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
  LARGE_INTEGER relative;
  relative.QuadPart = -timeout;
  return event.Wait(timeout ? &relative : nullptr);
}

NTSTATUS WdmPnpDevice::WaitIdle(LONGLONG Timeout) { return WaitEvent(IdleEvent, Timeout); }

NTSTATUS WdmPnpDevice::WaitRemoved(LONGLONG Timeout) { return WaitEvent(RemoveEvent, Timeout); }

// ---- The gate ----------------------------------------------------------------------------

NTSTATUS WdmPnpDevice::Dispatch(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR major = stack->MajorFunction;
  // Create and close take PnpLock before their I/O reference: a remove that holds the
  // lock while it waits for the count to drain must not wait for them.
  if (major == IRP_MJ_CREATE) return DispatchCreate(Irp);
  if (major == IRP_MJ_CLOSE) return DispatchClose(Irp);
  AcquireIo();
  if (PowerFlags & kIdleDetection) IdleCounter = 0;
  switch (major) {
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_CLEANUP:
      if (GatePolicy & kCancelHeldAtCleanup) CancelHeldIrps(stack->FileObject);
      return WdmDevice::Dispatch(Irp);
    case IRP_MJ_POWER:
    case IRP_MJ_SYSTEM_CONTROL:
    case IRP_MJ_PNP: {
      ULONG state = State;
      BOOLEAN removeAfterSurprise = major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
                                    !(state & kRemoved);
      if ((state & (kRemoved | kSurpriseRemoved)) && !removeAfterSurprise) {
        if (major == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER &&
            stack->Parameters.Power.Type == ::SystemPowerState)
          return PassPower(Irp);  // a system set-power is never failed, removed or not
        if (major == IRP_MJ_POWER) return CompletePowerIrp(Irp, STATUS_DELETE_PENDING);
        return CompleteIrp(Irp, STATUS_DELETE_PENDING);
      }
      return WdmDevice::Dispatch(Irp);
    }
    default:
      return GateOther(Irp, major);
  }
}

BOOLEAN WdmPnpDevice::InD0() const {
  if (!(PowerPolicy & kManagePower)) return TRUE;
  // Before the first report the device is where Windows starts it: in D0.
  return DevicePowerState == PowerDeviceD0 || DevicePowerState == PowerDeviceUnspecified;
}

BOOLEAN WdmPnpDevice::PowerHoldApplies() const {
  ULONG flags = PowerFlags;
  return ((flags & kGoingToD3) && (PowerHoldPolicy & kHoldGoingToD3)) ||
         ((flags & kGoingToD1D2) && (PowerHoldPolicy & kHoldGoingToD1D2));
}

BOOLEAN WdmPnpDevice::OnDemandForbidden() const {
  if (InD0()) return FALSE;
  // A sleeping machine cannot bring one device back to D0.
  if (SystemPowerState != PowerSystemWorking) return TRUE;
  return (PowerHoldPolicy & (kNoOnDemandWorking | kNoOnDemand)) != 0;
}

NTSTATUS WdmPnpDevice::GateOther(PIRP Irp, UCHAR) {
  ULONG state = State;
  if ((state & (kRemoved | kSurpriseRemoved)) && (RemovalPolicy & kRefuseAfterRemoval))
    return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  BOOLEAN started = (state & kStarted) != 0;
  if (started && !(state & (kStopPending | kRemovePending)) && InD0() && !PowerHoldApplies())
    return WdmDevice::Dispatch(Irp);
  BOOLEAN hold = ((state & kStopPending) && (GatePolicy & kHoldWhileStopPending)) ||
                 ((state & kRemovePending) && (GatePolicy & kHoldWhileRemovePending)) ||
                 (!started && (GatePolicy & kHoldWhileNotStarted)) || PowerHoldApplies() || OnDemandForbidden();
  if (hold) {
    ReleaseIo();
    return HoldIrp(Irp);
  }
  if (!started && (RemovalPolicy & kRefuseBeforeStart)) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);
  if (!InD0() && (PowerPolicy & kPowerUpOnDemand)) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      // No waiting here: the IRP waits in the queue and D0 brings it back.
      ReleaseIo();
      NTSTATUS status = HoldIrp(Irp);
      RequestDevicePower(PowerDeviceD0, FALSE);
      return status;
    }
    NTSTATUS status = RequestDevicePower(PowerDeviceD0, TRUE);
    if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
  }
  return WdmDevice::Dispatch(Irp);
}

NTSTATUS WdmPnpDevice::DispatchCreate(PIRP Irp) {
  PnpLock.Wait();
  AcquireIo();
  if (IsGone()) {
    PnpLock.Release();
    return CompleteIrp(Irp, STATUS_DELETE_PENDING);
  }
  NTSTATUS status = WdmDevice::Dispatch(Irp);
  if (NT_SUCCESS(status)) {
    InterlockedIncrement(&OpenCount);
    if (!InD0() && (PowerPolicy & kPowerUpAtCreate) && SystemPowerState == PowerSystemWorking &&
        KeGetCurrentIrql() == PASSIVE_LEVEL)
      RequestDevicePower(PowerDeviceD0, TRUE);
  }
  PnpLock.Release();
  return status;
}

NTSTATUS WdmPnpDevice::DispatchClose(PIRP Irp) {
  PnpLock.Wait();
  AcquireIo();
  NTSTATUS status = WdmDevice::Dispatch(Irp);
  if (NT_SUCCESS(status)) InterlockedDecrement(&OpenCount);
  if (OpenCount == 0) {
    ULONG state = State;
    if ((state & kRemoved) && (RemovalPolicy & kDestroyAtRemoval) && !(state & kRemoving)) {
      // Removal left the object for the last close: this was it.
      PnpLock.Release();
      Destroy();
      return status;
    }
    if ((PowerPolicy & kManagePower) && (PowerPolicy & kIdleAtLastClose) && (state & kStarted) && !IsGone() &&
        DevicePowerState != IdleDeviceState)
      RequestDevicePower(IdleDeviceState, FALSE);
  }
  PnpLock.Release();
  return status;
}

// ---- Default members ---------------------------------------------------------------------

#define WDM_PNP_DEFAULT_MEMBER(name) \
  NTSTATUS WdmPnpDevice::name(PIRP Irp) { return CompleteIrp(Irp, STATUS_NOT_IMPLEMENTED); }
WDM_PNP_DEFAULT_MEMBER(Create)
WDM_PNP_DEFAULT_MEMBER(CreateClose)
WDM_PNP_DEFAULT_MEMBER(CreateNamedPipe)
WDM_PNP_DEFAULT_MEMBER(Close)
WDM_PNP_DEFAULT_MEMBER(Read)
WDM_PNP_DEFAULT_MEMBER(ReadWrite)
WDM_PNP_DEFAULT_MEMBER(Write)
WDM_PNP_DEFAULT_MEMBER(QueryInformation)
WDM_PNP_DEFAULT_MEMBER(SetInformation)
WDM_PNP_DEFAULT_MEMBER(QueryEa)
WDM_PNP_DEFAULT_MEMBER(SetEa)
WDM_PNP_DEFAULT_MEMBER(FlushBuffers)
WDM_PNP_DEFAULT_MEMBER(QueryVolumeInformation)
WDM_PNP_DEFAULT_MEMBER(SetVolumeInformation)
WDM_PNP_DEFAULT_MEMBER(DirectoryControl)
WDM_PNP_DEFAULT_MEMBER(FileSystemControl)
WDM_PNP_DEFAULT_MEMBER(DeviceControl)
WDM_PNP_DEFAULT_MEMBER(InternalDeviceControl)
WDM_PNP_DEFAULT_MEMBER(Shutdown)
WDM_PNP_DEFAULT_MEMBER(LockControl)
WDM_PNP_DEFAULT_MEMBER(Cleanup)
WDM_PNP_DEFAULT_MEMBER(CreateMailslot)
WDM_PNP_DEFAULT_MEMBER(QuerySecurity)
WDM_PNP_DEFAULT_MEMBER(SetSecurity)
WDM_PNP_DEFAULT_MEMBER(DeviceChange)
WDM_PNP_DEFAULT_MEMBER(QueryQuota)
WDM_PNP_DEFAULT_MEMBER(SetQuota)
#undef WDM_PNP_DEFAULT_MEMBER

NTSTATUS WdmPnpDevice::SystemControl(PIRP Irp) {
  if (LowerDevice) return LowerDevice->PassDown(this, Irp);
  return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

NTSTATUS WdmPnpDevice::DefaultPnp(PIRP Irp) {
  if (LowerDevice) return LowerDevice->PassDown(this, Irp);
  // A PDO answers what it does not know with the status the IRP came with.
  return CompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

// Finished by the dispatcher when the policy bits say so; else the member's own business.
#define WDM_PNP_MINOR(name, bits) \
  NTSTATUS WdmPnpDevice::name(PIRP Irp) { return (bits) ? STATUS_SUCCESS : DefaultPnp(Irp); }
WDM_PNP_MINOR(OnStartDevice, FinishSet & 0x1)
WDM_PNP_MINOR(OnStopDevice, (FinishSet & 0x2) || (ForwardSet & 0x10))
WDM_PNP_MINOR(OnQueryRemoveDevice, (FinishSet & 0x4) || (ForwardSet & 0x20))
WDM_PNP_MINOR(OnRemoveDevice, (FinishSet & 0x40) || (ForwardSet & 0x40))
WDM_PNP_MINOR(OnCancelRemoveDevice, FinishSet & 0x10)
WDM_PNP_MINOR(OnQueryStopDevice, (FinishSet & 0x8) || (ForwardSet & 0x8))
WDM_PNP_MINOR(OnCancelStopDevice, FinishSet & 0x20)
WDM_PNP_MINOR(OnQueryPnpDeviceState, (FinishSet & 0x80) || (ForwardSet & 0x80))
WDM_PNP_MINOR(OnSurpriseRemoval, (FinishSet & 0x100) || (ForwardSet & 0x100))
WDM_PNP_MINOR(OnQueryDeviceRelations, FALSE)
WDM_PNP_MINOR(OnQueryInterface, FALSE)
WDM_PNP_MINOR(OnQueryCapabilities, FALSE)
WDM_PNP_MINOR(OnQueryResources, FALSE)
WDM_PNP_MINOR(OnQueryResourceRequirements, FALSE)
WDM_PNP_MINOR(OnReadConfig, FALSE)
WDM_PNP_MINOR(OnWriteConfig, FALSE)
WDM_PNP_MINOR(OnEject, FALSE)
WDM_PNP_MINOR(OnSetLock, FALSE)
WDM_PNP_MINOR(OnQueryId, FALSE)
WDM_PNP_MINOR(OnQueryBusInformation, FALSE)
WDM_PNP_MINOR(OnQueryDeviceText, FALSE)
WDM_PNP_MINOR(OnFilterResourceRequirements, FALSE)
WDM_PNP_MINOR(OnDeviceUsageNotification, FALSE)
WDM_PNP_MINOR(OnPnpMinor87, FALSE)
#undef WDM_PNP_MINOR

// ---- The PnP minor dispatcher ----------------------------------------------------------------

// Completes a PnP IRP the dispatcher finishes, keeping what the member put in Information.
static NTSTATUS FinishPnp(WdmPnpDevice* device, PIRP Irp, NTSTATUS status) {
  return device->CompleteIrp(Irp, status, Irp->IoStatus.Information);
}

NTSTATUS WdmPnpDevice::Pnp(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      if ((ForwardSet & 0x1) && LowerDevice) {
        NTSTATUS lower = LowerDevice->CallDownAndWait(Irp, TRUE);
        if (!NT_SUCCESS(lower)) return FinishPnp(this, Irp, lower);
      }
      NTSTATUS status = OnStartDevice(Irp);
      if (NT_SUCCESS(status)) {
        if ((PowerPolicy & kManagePower) && DevicePowerState == PowerDeviceUnspecified) {
          POWER_STATE d0;
          d0.DeviceState = PowerDeviceD0;
          PoSetPowerState(DeviceObject, ::DevicePowerState, d0);
          DevicePowerState = PowerDeviceD0;
        }
        if ((PowerPolicy & kQueryCapabilities) && LowerDevice) {
          DEVICE_CAPABILITIES capabilities;
          if (NT_SUCCESS(LowerDevice->QueryCapabilities(&capabilities))) SavedCapabilities = capabilities;
        }
        if ((PowerPolicy & kWakeEnabled) && (WakePolicy & kArmAtStart)) RequestWaitWake();
        InterlockedOr((volatile LONG*)&State, kStarted);
      } else {
        InterlockedAnd((volatile LONG*)&State, ~kStarted);
      }
      BOOLEAN started = IsStarted();
      if (FinishSet & 0x1) FinishPnp(this, Irp, status);
      if (started) {
        if (RemovalPolicy & kInterfacesFollowStart) SetInterfacesState(TRUE);
        // IRPs held while the device was stopped run now that it is back.
        ReleaseHeldIrps(FALSE);
      }
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return QueryStopOrRemove(Irp, TRUE);
    case IRP_MN_QUERY_STOP_DEVICE:
      return QueryStopOrRemove(Irp, FALSE);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return CancelStopOrRemove(Irp, TRUE);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return CancelStopOrRemove(Irp, FALSE);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(Irp);
    case IRP_MN_STOP_DEVICE: {
      if (GatePolicy & kCancelHeldAtStop) CancelHeldIrps(nullptr);
      if ((PowerPolicy & kWakeEnabled) && (WakePolicy & kCancelAtStop)) CancelWaitWake();
      NTSTATUS status = OnStopDevice(Irp);
      BOOLEAN finish = (ForwardSet & 0x10) || (FinishSet & 0x2);
      BOOLEAN wasStarted = IsStarted();
      InterlockedAnd((volatile LONG*)&State, ~(kStarted | kStopPending));
      if (RemovalPolicy & kInterfacesFollowStart) SetInterfacesState(FALSE);
      if (!finish) return status;
      if (LowerDevice && wasStarted) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return LowerDevice->PassDown(this, Irp);
      }
      return FinishPnp(this, Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE: {
      NTSTATUS status = OnQueryPnpDeviceState(Irp);
      if (!((ForwardSet & 0x80) || (FinishSet & 0x80))) return status;
      if (NT_SUCCESS(status) && LowerDevice && IsStarted() && !(State & kStopPending))
        return LowerDevice->PassDown(this, Irp);
      if (NT_SUCCESS(status) && Irp->IoStatus.Status == STATUS_NOT_SUPPORTED) status = Irp->IoStatus.Status;
      return FinishPnp(this, Irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL: {
      InterlockedOr((volatile LONG*)&State, kSurpriseRemoved);
      if (GatePolicy & kFailHeldAtRemoval) ReleaseHeldIrps(TRUE);
      NTSTATUS status = OnSurpriseRemoval(Irp);
      BOOLEAN finish = (ForwardSet & 0x100) || (FinishSet & 0x100);
      InterlockedAnd((volatile LONG*)&State, ~(kStopPending | kRemovePending | kStarted));
      if (!finish) return status;
      if (LowerDevice) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return LowerDevice->PassDown(this, Irp);
      }
      return FinishPnp(this, Irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: return OnQueryDeviceRelations(Irp);
    case IRP_MN_QUERY_INTERFACE: return OnQueryInterface(Irp);
    case IRP_MN_QUERY_CAPABILITIES: return OnQueryCapabilities(Irp);
    case IRP_MN_QUERY_RESOURCES: return OnQueryResources(Irp);
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return OnQueryResourceRequirements(Irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return OnQueryDeviceText(Irp);
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return OnFilterResourceRequirements(Irp);
    case IRP_MN_READ_CONFIG: return OnReadConfig(Irp);
    case IRP_MN_WRITE_CONFIG: return OnWriteConfig(Irp);
    case IRP_MN_EJECT: return OnEject(Irp);
    case IRP_MN_SET_LOCK: return OnSetLock(Irp);
    case IRP_MN_QUERY_ID: return OnQueryId(Irp);
    case IRP_MN_QUERY_BUS_INFORMATION: return OnQueryBusInformation(Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return OnDeviceUsageNotification(Irp);
    case 0x87: return OnPnpMinor87(Irp);
    default: return DefaultPnp(Irp);
  }
}

void WdmPnpDevice::StartIoCleanup(ULONG Policy) {
  // The library's devices queue no StartIo packets, so the device queue has nothing to
  // flush; an IRP in CurrentIrp is cancelled.
  if (Policy & kCancelCurrentIrp) {
    PIRP current = DeviceObject->CurrentIrp;
    if (current) IoCancelIrp(current);
  }
}

NTSTATUS WdmPnpDevice::QueryStopOrRemove(PIRP Irp, BOOLEAN Remove) {
  ULONG policy = Remove ? QueryRemovePolicy : QueryStopPolicy;
  if (((policy & kBusyWhileOpen) && OpenCount != 0) || ((policy & kBusyWhileIo) && IoCount > 2))
    return FinishPnp(this, Irp, STATUS_DEVICE_BUSY);
  NTSTATUS status = Remove ? OnQueryRemoveDevice(Irp) : OnQueryStopDevice(Irp);
  BOOLEAN finish = Remove ? ((ForwardSet & 0x20) || (FinishSet & 0x4)) : ((ForwardSet & 0x8) || (FinishSet & 0x8));
  ULONG bit = Remove ? kRemovePending : kStopPending;
  if (NT_SUCCESS(status)) {
    InterlockedOr((volatile LONG*)&State, bit);
    StartIoCleanup(policy & (kFlushStartIo | kCancelCurrentIrp));
    if ((policy & kWaitForIdle) && IsStarted()) {
      // The query's own reference is given back for the wait and taken again after, so
      // that passing it on or completing it releases it exactly once.
      if (finish) ReleaseIo();
      NTSTATUS wait = WaitIdle(Remove ? QueryRemoveTimeout : QueryStopTimeout);
      if (finish) AcquireIo();
      if (wait == STATUS_TIMEOUT && (policy & kCancelOnTimeout)) {
        CancelHeldIrps(nullptr);
        StartIoCleanup(kFlushStartIo | kCancelCurrentIrp);
      }
    }
  } else {
    InterlockedAnd((volatile LONG*)&State, ~bit);
  }
  if (!finish) return status;
  if (NT_SUCCESS(status) && LowerDevice && (Remove || IsStarted())) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return LowerDevice->PassDown(this, Irp);
  }
  return FinishPnp(this, Irp, status);
}

NTSTATUS WdmPnpDevice::CancelStopOrRemove(PIRP Irp, BOOLEAN Remove) {
  ULONG forward = Remove ? 0x4 : 0x2;
  ULONG finish = Remove ? 0x10 : 0x20;
  ULONG redispatch = Remove ? kRedispatchAtCancelRemove : kRedispatchAtCancelStop;
  if ((ForwardSet & forward) && LowerDevice) {
    NTSTATUS lower = LowerDevice->CallDownAndWait(Irp, TRUE);
    if (!NT_SUCCESS(lower)) return FinishPnp(this, Irp, lower);
  }
  NTSTATUS status = Remove ? OnCancelRemoveDevice(Irp) : OnCancelStopDevice(Irp);
  InterlockedAnd((volatile LONG*)&State, ~(Remove ? kRemovePending : kStopPending));
  if (GatePolicy & redispatch) ReleaseHeldIrps(FALSE);
  if (FinishSet & finish) return FinishPnp(this, Irp, status);
  return status;
}

NTSTATUS WdmPnpDevice::RemoveDevice(PIRP Irp) {
  PnpLock.Wait();
  InterlockedOr((volatile LONG*)&State, kRemoved | kRemoving);
  if (GatePolicy & kFailHeldAtRemoval) ReleaseHeldIrps(TRUE);
  if ((PowerPolicy & kWakeEnabled) && (WakePolicy & kCancelAtRemove)) CancelWaitWake();
  if (RemovalPolicy & kInterfacesFollowStart) SetInterfacesState(FALSE);
  NTSTATUS status = OnRemoveDevice(Irp);
  BOOLEAN finish = (ForwardSet & 0x40) || (FinishSet & 0x40);
  if (finish) ReleaseIo();
  if (RemovalPolicy & kWaitAtRemoval) WaitIdle(RemoveTimeout);
  if (finish) {
    // The IRP's reference went above; it goes on (or ends here) without another release.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (LowerDevice && LowerDevice->TopOfStack) {
      IoSkipCurrentIrpStackLocation(Irp);
      IofCallDriver(LowerDevice->TopOfStack, Irp);
    } else {
      // Nobody below: the remove ends here, exactly once.
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    status = STATUS_SUCCESS;
  }
  if ((RemovalPolicy & kDetachAtRemoval) && LowerDevice) {
    LowerDevice->Detach();
    LowerDevice = nullptr;
  }
  ReleaseIo();  // the bias
  if (RemovalPolicy & kWaitAtRemoval) WaitRemoved(RemoveTimeout);
  if (SymbolicLinkName.Length > sizeof(WCHAR)) {
    IoDeleteSymbolicLink(&SymbolicLinkName);
    // The destructor frees the name; the link is gone already.
    SymbolicLinkName.Length = 0;
  }
  if (DeviceObject->Flags & kShutdownRegistered) DeviceObject->Flags &= ~kShutdownRegistered;
  if ((RemovalPolicy & kReuseAfterRemoval) && !(RemovalPolicy & kNoReuse)) {
    AcquireIo();
    AcquireIo();
    InterlockedAnd((volatile LONG*)&State, ~(kRemoved | kSurpriseRemoved));
  }
  if ((RemovalPolicy & kDestroyAtRemoval) && OpenCount == 0) {
    PnpLock.Release();
    Destroy();
    return status;
  }
  InterlockedAnd((volatile LONG*)&State, ~(kStopPending | kRemovePending | kStarted | kRemoving));
  PnpLock.Release();
  return status;
}

// ---- Held IRPs ---------------------------------------------------------------------------------

NTSTATUS WdmPnpDevice::HoldIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(Irp);
  HeldIrps.InsertTail(Irp);
  (void)IoSetCancelRoutine(Irp, CancelHeldIrp);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void WdmPnpDevice::ReleaseHeldIrps(BOOLEAN Fail) {
  if (!Fail && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    RedispatchHeld();
    return;
  }
  // Unlinked under the cancel lock, completed or dispatched again after releasing it.
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (PIRP irp = static_cast<PIRP>(HeldIrps.RemoveHead())) {
    // A cancel routine already on its way owns the IRP and completes it.
    if (!IoSetCancelRoutine(irp, nullptr)) continue;
    InsertTailList(&taken, &irp->Tail.Overlay.ListEntry);
  }
  IoReleaseCancelSpinLock(irql);
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    if (irp->Cancel || Fail) {
      irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_DELETE_PENDING;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
      Dispatch(irp);
    }
  }
}

void WdmPnpDevice::RedispatchHeld() {
  if (HeldIrps.IsEmpty()) return;
  auto* work = static_cast<RedispatchWork*>(WdmAllocate(sizeof(RedispatchWork)));
  PIO_WORKITEM item = work ? IoAllocateWorkItem(DeviceObject) : nullptr;
  if (!item) {
    // They stay held until the next event that releases held IRPs.
    WdmFree(work);
    return;
  }
  work->Device = this;
  work->Item = item;
  AcquireIo();  // keeps the device until the work has run
  IoQueueWorkItem(item, RedispatchAtPassive, DelayedWorkQueue, work);
}

void WdmPnpDevice::CancelHeldIrps(PFILE_OBJECT FileObject) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  KIRQL listIrql = HeldIrps.Lock();
  WdmList& items = HeldIrps.Items();
  PIRP irp = static_cast<PIRP>(items.Head());
  while (irp) {
    PIRP next = static_cast<PIRP>(items.Next(irp));
    if (!FileObject || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) {
      if (IoSetCancelRoutine(irp, nullptr)) {
        items.Remove(irp);
        InsertTailList(&cancelled, &irp->Tail.Overlay.ListEntry);
      }
    }
    irp = next;
  }
  HeldIrps.Unlock(listIrql);
  IoReleaseCancelSpinLock(irql);
  CompleteList(&cancelled, STATUS_CANCELLED);
}

// ---- Device interfaces -------------------------------------------------------------------------

NTSTATUS WdmPnpDevice::RegisterInterface(const GUID* InterfaceClass, PCUNICODE_STRING ReferenceString) {
  auto* record = static_cast<InterfaceRecord*>(WdmAllocate(sizeof(InterfaceRecord)));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(record, sizeof(*record));
  record->InterfaceClass = InterfaceClass;
  NTSTATUS status = IoRegisterDeviceInterface(PhysicalDevice, InterfaceClass, (PUNICODE_STRING)ReferenceString,
                                              &record->SymbolicLink);
  if (!NT_SUCCESS(status)) {
    WdmFree(record);
    return status;
  }
  InitializeListHead(&record->Link);
  Interfaces.InsertTail(record);
  return STATUS_SUCCESS;
}

void WdmPnpDevice::SetInterfacesState(BOOLEAN Enable) {
  // Records change only at PASSIVE_LEVEL in PnP context, as this walk does.
  for (auto* record = static_cast<InterfaceRecord*>(Interfaces.Head()); record;
       record = static_cast<InterfaceRecord*>(Interfaces.Next(record)))
    IoSetDeviceInterfaceState(&record->SymbolicLink, Enable);
}
