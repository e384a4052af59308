// Power management of the PnP device base: system and device power state tracking,
// system IRPs turned into device IRPs for the device's own stack, on-demand and idle
// power changes, wait-wake, and holding I/O around transitions.
#include "wdm_pnp_device.h"

namespace {

// A wait the Part leaves unlimited gets this limit on the power paths: a system power IRP
// must go on even when some request never finishes (5 s in 100 ns units).
const LONGLONG kPowerWaitBound = 50000000;

struct PowerRequest {
  WdmPnpDevice* Device;
  WdmPnpDevice::PowerCallback Callback;
  PVOID Context;
  KEVENT Done;
  NTSTATUS Status;
  BOOLEAN Waiter;
};

void NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* request = static_cast<PowerRequest*>(Context);
  request->Status = IoStatus->Status;
  if (request->Callback) request->Callback(request->Device, IoStatus->Status, request->Context);
  if (request->Waiter)
    KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);  // the waiter owns the record
  else
    WdmFree(request);
}

struct PassiveWork {
  WdmPnpDevice* Device;
  PIRP Irp;
  PIO_WORKITEM Item;
  BOOLEAN PowerUp;
};

void NTAPI PowerAtPassive(PDEVICE_OBJECT, PVOID Context) {
  auto* work = static_cast<PassiveWork*>(Context);
  WdmPnpDevice* device = work->Device;
  PIRP irp = work->Irp;
  BOOLEAN up = work->PowerUp;
  IoFreeWorkItem(work->Item);
  WdmFree(work);
  if (up)
    device->FinishPowerUp(irp, TRUE);
  else
    device->PowerDownAtPassive(irp);
}

// Queues the rest of a device power IRP for PASSIVE_LEVEL; false without memory.
bool QueuePassive(WdmPnpDevice* device, PIRP Irp, BOOLEAN up) {
  auto* work = static_cast<PassiveWork*>(WdmAllocate(sizeof(PassiveWork)));
  PIO_WORKITEM item = work ? IoAllocateWorkItem(device->DeviceObject) : nullptr;
  if (!item) {
    WdmFree(work);
    return false;
  }
  work->Device = device;
  work->Irp = Irp;
  work->Item = item;
  work->PowerUp = up;
  IoQueueWorkItem(item, PowerAtPassive, DelayedWorkQueue, work);
  return true;
}

NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* device = static_cast<WdmPnpDevice*>(Context);
  // The hook may wait: it runs at PASSIVE_LEVEL once the stack below is in the new state.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL || !QueuePassive(device, Irp, TRUE))
    device->FinishPowerUp(Irp, KeGetCurrentIrql() == PASSIVE_LEVEL);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The device IRP of a system wake completed: the system IRP goes on up.
void SystemWakeDeviceDone(WdmPnpDevice* device, NTSTATUS, PVOID Context) {
  PIRP irp = static_cast<PIRP>(Context);
  InterlockedDecrement(&device->OwnPowerIrps);
  // A system set-power is never failed: the device state's failure stays with the device.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  device->ReleaseIo();
}

NTSTATUS NTAPI SystemPowerUpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* device = static_cast<WdmPnpDevice*>(Context);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    device->SystemPowerState = stack->Parameters.Power.State.SystemState;
    PoSetPowerState(device->DeviceObject, ::SystemPowerState, stack->Parameters.Power.State);
    if ((device->PowerPolicy & WdmPnpDevice::kFollowSystemWake) || !device->HeldIrps.IsEmpty()) {
      InterlockedIncrement(&device->OwnPowerIrps);
      DEVICE_POWER_STATE target = device->MapSystemToDevice(device->SystemPowerState);
      if (NT_SUCCESS(device->RequestDevicePower(target, FALSE, SystemWakeDeviceDone, Irp)))
        return STATUS_MORE_PROCESSING_REQUIRED;
      InterlockedDecrement(&device->OwnPowerIrps);
    }
  }
  device->ReleaseIo();
  return STATUS_SUCCESS;
}

// The device IRP of a system sleep completed: now the system IRP goes down.
void SystemSleepDeviceDone(WdmPnpDevice* device, NTSTATUS, PVOID Context) {
  PIRP irp = static_cast<PIRP>(Context);
  InterlockedDecrement(&device->OwnPowerIrps);
  // Whatever the device IRP did, the system IRP goes on: it must not fail.
  device->PassPower(irp);
}

NTSTATUS NTAPI WaitWakeDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* device = static_cast<WdmPnpDevice*>(Context);
  InterlockedAnd((volatile LONG*)&device->PowerFlags, ~WdmPnpDevice::kWaitWakeFromAbove);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  return STATUS_SUCCESS;
}

void NTAPI WaitWakeRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* device = static_cast<WdmPnpDevice*>(Context);
  (void)InterlockedExchangePointer((PVOID volatile*)&device->PendingWaitWake, nullptr);
  // A canceller on another thread may still hold the IRP's address: it is freed after
  // this returns, so wait for the canceller to be done with it.
  while (device->WaitWakeCancelling && device->WaitWakeCanceller != (PVOID)KeGetCurrentThread()) {
  }
  if (NT_SUCCESS(IoStatus->Status)) device->RequestDevicePower(PowerDeviceD0, FALSE);
}

BOOLEAN Managed(const WdmPnpDevice* device, ULONG minorBit) {
  return (device->PowerPolicy & WdmPnpDevice::kManagePower) && (device->PowerMinorSet & minorBit);
}

}  // namespace

void WdmPnpDevice::SetDefaultPowerPolicies(BOOLEAN Wake) {
  PowerPolicy = kManagePower | kPowerUpOnDemand | kPowerUpAtCreate | kQueryCapabilities | (Wake ? kWakeEnabled : 0);
  PowerHoldPolicy = 0x63;
  PowerMinorSet = kLibrarySetPower | kLibraryQueryPower | (Wake ? kLibraryWaitWake : 0);
  QueryPowerPolicy = 0x7F;
  SleepPolicy = 0x7F;
  IdleDeviceState = PowerDeviceD3;
  WakePolicy = Wake ? 0x3B : 0;
  QueryPowerTimeout = 0;
  SleepTimeout = 0;
}

NTSTATUS WdmPnpDevice::OnDevicePowerUp() { return STATUS_SUCCESS; }
NTSTATUS WdmPnpDevice::OnDeviceSleep() { return STATUS_SUCCESS; }
NTSTATUS WdmPnpDevice::OnSystemPowerUp() { return STATUS_SUCCESS; }
NTSTATUS WdmPnpDevice::OnSystemPowerDown() { return STATUS_SUCCESS; }

DEVICE_POWER_STATE WdmPnpDevice::MapSystemToDevice(SYSTEM_POWER_STATE S) {
  if (S > PowerSystemUnspecified && S < PowerSystemMaximum) {
    DEVICE_POWER_STATE d = SavedCapabilities.DeviceState[S];
    if (d >= PowerDeviceD0 && d <= PowerDeviceD3) return d;
  }
  return DevicePowerState;
}

DEVICE_POWER_STATE WdmPnpDevice::CurrentDeviceState() const {
  return DevicePowerState == PowerDeviceUnspecified ? PowerDeviceD0 : DevicePowerState;
}

NTSTATUS WdmPnpDevice::DefaultPower(PIRP Irp) {
  if (LowerDevice) return LowerDevice->PassDownPower(this, Irp);
  return CompletePowerIrp(Irp, Irp->IoStatus.Status);
}

NTSTATUS WdmPnpDevice::PassPower(PIRP Irp) {
  if (LowerDevice) return LowerDevice->PassDownPower(this, Irp);
  // A PDO that manages its own power is the bottom of its stack: the request is done.
  return CompletePowerIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS WdmPnpDevice::OnWaitWake(PIRP Irp) {
  return Managed(this, kLibraryWaitWake) && LowerDevice ? STATUS_SUCCESS : DefaultPower(Irp);
}
NTSTATUS WdmPnpDevice::OnPowerSequence(PIRP Irp) {
  return Managed(this, kLibraryPowerSequence) ? STATUS_SUCCESS : DefaultPower(Irp);
}
NTSTATUS WdmPnpDevice::OnSetPower(PIRP Irp) {
  return Managed(this, kLibrarySetPower) ? STATUS_SUCCESS : DefaultPower(Irp);
}
NTSTATUS WdmPnpDevice::OnQueryPower(PIRP Irp) {
  return Managed(this, kLibraryQueryPower) ? STATUS_SUCCESS : DefaultPower(Irp);
}

NTSTATUS WdmPnpDevice::Power(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE: {
      NTSTATUS status = OnWaitWake(Irp);
      if (!(Managed(this, kLibraryWaitWake) && LowerDevice)) return status;
      return WaitWake(Irp);
    }
    case IRP_MN_POWER_SEQUENCE: {
      NTSTATUS status = OnPowerSequence(Irp);
      if (!Managed(this, kLibraryPowerSequence)) return status;
      return PassPower(Irp);
    }
    case IRP_MN_SET_POWER: {
      NTSTATUS status = OnSetPower(Irp);
      if (!Managed(this, kLibrarySetPower)) return status;
      return SetPower(Irp);
    }
    case IRP_MN_QUERY_POWER: {
      NTSTATUS status = OnQueryPower(Irp);
      if (!Managed(this, kLibraryQueryPower)) return status;
      return QueryPower(Irp);
    }
    default:
      return DefaultPower(Irp);
  }
}

void WdmPnpDevice::SetTransitionFlag(DEVICE_POWER_STATE Target) {
  if (Target == PowerDeviceD3)
    InterlockedOr((volatile LONG*)&PowerFlags, kGoingToD3);
  else if (Target == PowerDeviceD1 || Target == PowerDeviceD2)
    InterlockedOr((volatile LONG*)&PowerFlags, kGoingToD1D2);
}

// The wait part of QueryPowerPolicy and SleepPolicy: StartIo clean-up, then the wait for
// I/O in progress with this IRP's own reference given back for it, never without limit.
NTSTATUS WdmPnpDevice::ApplyWaitPolicy(ULONG Policy, LONGLONG Timeout, BOOLEAN) {
  StartIoCleanup(Policy & (kFlushStartIo | kCancelCurrentIrp));
  if (!(Policy & kWaitForIdle) || KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_SUCCESS;
  ReleaseIo();
  NTSTATUS wait = WaitIdle(Timeout ? Timeout : kPowerWaitBound);
  AcquireIo();
  if (wait == STATUS_TIMEOUT && (Policy & kCancelOnTimeout)) {
    CancelHeldIrps(nullptr);
    StartIoCleanup(kFlushStartIo | kCancelCurrentIrp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS WdmPnpDevice::SetPower(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE state = stack->Parameters.Power.State;
  const ULONG transition = kGoingToD3 | kGoingToD1D2;

  if (stack->Parameters.Power.Type == ::SystemPowerState) {
    SYSTEM_POWER_STATE s = state.SystemState;
    if (s == SystemPowerState) {
      // Back to where it was (a vetoed sleep): what the query held may run again.
      BOOLEAN wasGoing = (PowerFlags & transition) != 0;
      InterlockedAnd((volatile LONG*)&PowerFlags, ~transition);
      if (s == PowerSystemWorking && InD0() && wasGoing && (PowerHoldPolicy & (kHoldGoingToD3 | kHoldGoingToD1D2)))
        ReleaseHeldIrps(FALSE);
      return PassPower(Irp);
    }
    if (s < SystemPowerState) {
      OnSystemPowerUp();
      if (!LowerDevice) {
        SystemPowerState = s;
        PoSetPowerState(DeviceObject, ::SystemPowerState, state);
        return CompletePowerIrp(Irp, STATUS_SUCCESS);
      }
      IoMarkIrpPending(Irp);
      PoStartNextPowerIrp(Irp);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      WdmLowerDevice::SetCompletion(Irp, SystemPowerUpDone, this, TRUE, TRUE, TRUE);
      PoCallDriver(LowerDevice->TopOfStack, Irp);
      return STATUS_PENDING;
    }
    OnSystemPowerDown();
    SystemPowerState = s;
    PoSetPowerState(DeviceObject, ::SystemPowerState, state);
    DEVICE_POWER_STATE target = MapSystemToDevice(s);
    if (target == DevicePowerState) return PassPower(Irp);
    SetTransitionFlag(target);
    // Busy refusals belong to the query; a set-power only waits, and only so long.
    ApplyWaitPolicy(SleepPolicy, SleepTimeout, FALSE);
    if (PowerPolicy & kWakeEnabled) {
      if ((WakePolicy & kArmAtSystemSleep) && SavedCapabilities.SystemWake >= s)
        RequestWaitWake();
      else if (SavedCapabilities.SystemWake < s)
        CancelWaitWake();
    }
    IoMarkIrpPending(Irp);
    InterlockedIncrement(&OwnPowerIrps);
    if (!NT_SUCCESS(RequestDevicePower(target, FALSE, SystemSleepDeviceDone, Irp))) {
      InterlockedDecrement(&OwnPowerIrps);
      PassPower(Irp);
    }
    return STATUS_PENDING;
  }

  DEVICE_POWER_STATE d = state.DeviceState;
  DEVICE_POWER_STATE current = CurrentDeviceState();
  if (d == current) {
    InterlockedAnd((volatile LONG*)&PowerFlags, ~transition);
    if (DevicePowerState == PowerDeviceUnspecified) {
      PoSetPowerState(DeviceObject, ::DevicePowerState, state);
      DevicePowerState = d;
    }
    return PassPower(Irp);
  }
  if (d < current) {
    IoMarkIrpPending(Irp);
    if (!LowerDevice) {
      PoStartNextPowerIrp(Irp);
      if (KeGetCurrentIrql() == PASSIVE_LEVEL || !QueuePassive(this, Irp, TRUE))
        FinishPowerUp(Irp, KeGetCurrentIrql() == PASSIVE_LEVEL);
      return STATUS_PENDING;
    }
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    WdmLowerDevice::SetCompletion(Irp, DevicePowerUpDone, this, TRUE, TRUE, TRUE);
    PoCallDriver(LowerDevice->TopOfStack, Irp);
    return STATUS_PENDING;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    // The sleep hook may wait: it runs from a work item.
    IoMarkIrpPending(Irp);
    if (QueuePassive(this, Irp, FALSE)) return STATUS_PENDING;
    PowerDownAtPassive(Irp);
    return STATUS_PENDING;
  }
  return PowerDownAtPassive(Irp);
}

void WdmPnpDevice::FinishPowerUp(PIRP Irp, BOOLEAN Passive) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status) || !LowerDevice) {
    if (Passive) OnDevicePowerUp();
    POWER_STATE state = stack->Parameters.Power.State;
    PoSetPowerState(DeviceObject, ::DevicePowerState, state);
    DevicePowerState = state.DeviceState;
    InterlockedAnd((volatile LONG*)&PowerFlags, ~(kGoingToD3 | kGoingToD1D2));
    if (!LowerDevice) Irp->IoStatus.Status = STATUS_SUCCESS;
    if (DevicePowerState == PowerDeviceD0 && (PowerHoldPolicy & kRedispatchAtD0)) ReleaseHeldIrps(FALSE);
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseIo();
}

NTSTATUS WdmPnpDevice::PowerDownAtPassive(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE state = stack->Parameters.Power.State;
  DEVICE_POWER_STATE d = state.DeviceState;
  PoSetPowerState(DeviceObject, ::DevicePowerState, state);
  DevicePowerState = d;
  InterlockedAnd((volatile LONG*)&PowerFlags, ~(kGoingToD3 | kGoingToD1D2));
  OnDeviceSleep();
  if (d == PowerDeviceD3 && (PowerHoldPolicy & kCancelHeldAtD3)) CancelHeldIrps(nullptr);
  if (PowerPolicy & kWakeEnabled) {
    if ((WakePolicy & kCancelBelowDeviceWake) && SavedCapabilities.DeviceWake < d)
      CancelWaitWake();
    else if ((WakePolicy & kArmAtDeviceSleep) && SavedCapabilities.DeviceWake >= d)
      RequestWaitWake();
  }
  StartIoCleanup(SleepPolicy & (kFlushStartIo | kCancelCurrentIrp));
  return PassPower(Irp);
}

NTSTATUS WdmPnpDevice::QueryPower(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE state = stack->Parameters.Power.State;
  if (stack->Parameters.Power.Type == ::SystemPowerState) {
    SYSTEM_POWER_STATE s = state.SystemState;
    if (s > SystemPowerState) {
      if (PendingWaitWake && SavedCapabilities.SystemWake < s) return CompletePowerIrp(Irp, STATUS_INVALID_DEVICE_STATE);
      if (((QueryPowerPolicy & kBusyWhileOpen) && OpenCount != 0) || ((QueryPowerPolicy & kBusyWhileIo) && IoCount > 2))
        return CompletePowerIrp(Irp, STATUS_DEVICE_BUSY);
      DEVICE_POWER_STATE target = MapSystemToDevice(s);
      if (target != DevicePowerState) SetTransitionFlag(target);
      ApplyWaitPolicy(QueryPowerPolicy, QueryPowerTimeout, TRUE);
    }
    return PassPower(Irp);
  }
  DEVICE_POWER_STATE d = state.DeviceState;
  if (d > CurrentDeviceState())
    SetTransitionFlag(d);
  else if (d < CurrentDeviceState())
    InterlockedAnd((volatile LONG*)&PowerFlags, ~(kGoingToD3 | kGoingToD1D2));
  return PassPower(Irp);
}

NTSTATUS WdmPnpDevice::WaitWake(PIRP Irp) {
  if (!(PowerPolicy & kWakeEnabled)) return CompletePowerIrp(Irp, STATUS_NOT_SUPPORTED);
  if (PowerFlags & kWaitWakeFromAbove) return CompletePowerIrp(Irp, STATUS_DEVICE_BUSY);
  SYSTEM_POWER_STATE s = IoGetCurrentIrpStackLocation(Irp)->Parameters.WaitWake.PowerState;
  DEVICE_POWER_STATE current = CurrentDeviceState();
  if (s > PowerSystemUnspecified && s < PowerSystemMaximum && SavedCapabilities.DeviceState[s] >= current &&
      SavedCapabilities.DeviceWake >= current) {
    InterlockedOr((volatile LONG*)&PowerFlags, kWaitWakeFromAbove);
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    WdmLowerDevice::SetCompletion(Irp, WaitWakeDone, this, TRUE, TRUE, TRUE);
    // A wait-wake may pend for as long as the machine runs: it counts as no I/O, or no
    // query-remove could ever find the device idle.
    ReleaseIo();
    return PoCallDriver(LowerDevice->TopOfStack, Irp);
  }
  return CompletePowerIrp(Irp, STATUS_INVALID_DEVICE_STATE);
}

NTSTATUS WdmPnpDevice::RequestDevicePower(DEVICE_POWER_STATE State, BOOLEAN Wait, PowerCallback Callback,
                                          PVOID Context) {
  POWER_STATE state;
  state.DeviceState = State;
  if (Wait && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    PowerRequest request;
    request.Device = this;
    request.Callback = Callback;
    request.Context = Context;
    request.Status = STATUS_PENDING;
    request.Waiter = TRUE;
    KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
    NTSTATUS status = PoRequestPowerIrp(PhysicalDevice, IRP_MN_SET_POWER, state, PowerRequestDone, &request, nullptr);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, nullptr);
    return request.Status;
  }
  auto* request = static_cast<PowerRequest*>(WdmAllocate(sizeof(PowerRequest)));
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  request->Device = this;
  request->Callback = Callback;
  request->Context = Context;
  request->Status = STATUS_PENDING;
  request->Waiter = FALSE;
  NTSTATUS status = PoRequestPowerIrp(PhysicalDevice, IRP_MN_SET_POWER, state, PowerRequestDone, request, nullptr);
  if (status != STATUS_PENDING) {
    WdmFree(request);
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WdmPnpDevice::RequestWaitWake() {
  if (PendingWaitWake) return STATUS_DEVICE_BUSY;
  POWER_STATE state;
  state.SystemState = SavedCapabilities.SystemWake;
  if (state.SystemState <= PowerSystemUnspecified) return STATUS_NOT_SUPPORTED;
  // The IRP's address is stored before the request is sent, so a completion that comes
  // at once finds it and clears it.
  NTSTATUS status = PoRequestPowerIrp(PhysicalDevice, IRP_MN_WAIT_WAKE, state, WaitWakeRequestDone, this,
                                      (PIRP*)&PendingWaitWake);
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

void WdmPnpDevice::CancelWaitWake() {
  InterlockedIncrement(&WaitWakeCancelling);
  WaitWakeCanceller = (PVOID)KeGetCurrentThread();
  PIRP irp = PendingWaitWake;
  if (irp) IoCancelIrp(irp);
  WaitWakeCanceller = nullptr;
  InterlockedDecrement(&WaitWakeCancelling);
}
