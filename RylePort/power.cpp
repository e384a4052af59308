// Power handling of the port: its own device-power requests (D3 when started and closed,
// D0 when opened), set-power for device and system states, and the pass-down of every
// other power request with the next power IRP started first.
#include "port.h"

namespace {

struct PowerWait {
  KEVENT done;
  NTSTATUS status;
};

void NTAPI OwnRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* wait = static_cast<PowerWait*>(Context);
  wait->status = IoStatus->Status;
  KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
}

void NTAPI SystemRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

NTSTATUS PassDown(PPORT_EXTENSION Ext, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(Ext->LowerDevice, Irp);
  PortRelease(Ext);
  return status;
}

NTSTATUS NTAPI PoweredUp(PDEVICE_OBJECT Device, PIRP Irp, PVOID) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    ext->PowerState = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(Device, DevicePowerState, state);
  }
  PoStartNextPowerIrp(Irp);
  PortRelease(ext);
  return STATUS_SUCCESS;
}

NTSTATUS SetDevicePower(PPORT_EXTENSION Ext, PIRP Irp, DEVICE_POWER_STATE state) {
  if (state == Ext->PowerState) return PassDown(Ext, Irp);
  if (state == PowerDeviceD0) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PoweredUp, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(Ext->LowerDevice, Irp);
  }
  POWER_STATE ps;
  ps.DeviceState = state;
  PoSetPowerState(Ext->DeviceObject, DevicePowerState, ps);
  // Any lower state counts as D3 for a port with no hardware.
  Ext->PowerState = PowerDeviceD3;
  return PassDown(Ext, Irp);
}

NTSTATUS SetSystemPower(PPORT_EXTENSION Ext, PIRP Irp, SYSTEM_POWER_STATE state) {
  if (!Ext->OwnsPowerPolicy || state < PowerSystemUnspecified || state > PowerSystemShutdown) return PassDown(Ext, Irp);
  DEVICE_POWER_STATE d = state == PowerSystemWorking ? PowerDeviceD0 : Ext->DeviceStateMap[state];
  POWER_STATE ps;
  ps.SystemState = state;
  PoSetPowerState(Ext->DeviceObject, SystemPowerState, ps);
  if (d != PowerDeviceUnspecified) {
    // Going up only matters to an open port; a closed one stays asleep.
    BOOLEAN request = d < Ext->PowerState ? Ext->IsOpen : d != Ext->PowerState;
    if (request) {
      POWER_STATE target;
      target.DeviceState = d;
      PoRequestPowerIrp(Ext->DeviceObject, IRP_MN_SET_POWER, target, SystemRequestDone, nullptr, nullptr);
    }
  }
  return PassDown(Ext, Irp);
}

}  // namespace

NTSTATUS PortRequestDevicePower(PPORT_EXTENSION Ext, DEVICE_POWER_STATE State) {
  if (Ext->PowerState == State) return STATUS_SUCCESS;
  PowerWait wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  wait.status = STATUS_SUCCESS;
  POWER_STATE target;
  target.DeviceState = State;
  NTSTATUS status = PoRequestPowerIrp(Ext->DeviceObject, IRP_MN_SET_POWER, target, OwnRequestDone, &wait, nullptr);
  if (!NT_SUCCESS(status)) return status;
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
  return wait.status;
}

NTSTATUS NTAPI PortDispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return PortCompleteAndRelease(ext, Irp, status);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == DevicePowerState)
      return SetDevicePower(ext, Irp, stack->Parameters.Power.State.DeviceState);
    return SetSystemPower(ext, Irp, stack->Parameters.Power.State.SystemState);
  }
  if (stack->MinorFunction == IRP_MN_QUERY_POWER) Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(ext, Irp);
}
