// The lower device: attach and detach, passing IRPs down with the owner's I/O reference
// released, and calling down synchronously with or without a time limit.
#include "wdm_lower_device.h"

#include "wdm_pnp_device.h"

namespace {

struct CallContext {
  KEVENT Done;
  NTSTATUS Status;
  ULONG_PTR Information;
  BOOLEAN Stop;
};

NTSTATUS NTAPI CallDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* call = static_cast<CallContext*>(Context);
  call->Status = Irp->IoStatus.Status;
  call->Information = Irp->IoStatus.Information;
  // Kept by the caller: the IRP goes no further up until the caller completes it.
  if (call->Stop) {
    KeSetEvent(&call->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  KeSetEvent(&call->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

}  // namespace

WdmLowerDevice::WdmLowerDevice() : Status(STATUS_NO_SUCH_DEVICE), TopOfStack(nullptr), TargetPdo(nullptr) {}

WdmLowerDevice::~WdmLowerDevice() { Detach(); }

NTSTATUS WdmLowerDevice::Attach(WdmPnpDevice* Owner, PDEVICE_OBJECT Pdo) {
  TargetPdo = Pdo;
  TopOfStack = IoAttachDeviceToDeviceStack(Owner->DeviceObject, Pdo);
  Status = TopOfStack ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  return Status;
}

void WdmLowerDevice::Detach() {
  PDEVICE_OBJECT top = TopOfStack;
  TopOfStack = nullptr;
  if (top) IoDetachDevice(top);
}

NTSTATUS WdmLowerDevice::ForwardIrp(WdmPnpDevice* Owner, PIRP Irp) {
  // Released once the IRP is on its way, as a remove lock is.
  NTSTATUS status = IofCallDriver(TopOfStack, Irp);
  Owner->ReleaseIo();
  return status;
}

NTSTATUS WdmLowerDevice::ForwardPowerIrp(WdmPnpDevice* Owner, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  NTSTATUS status = PoCallDriver(TopOfStack, Irp);
  Owner->ReleaseIo();
  return status;
}

NTSTATUS WdmLowerDevice::PassDown(WdmPnpDevice* Owner, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return ForwardIrp(Owner, Irp);
}

NTSTATUS WdmLowerDevice::PassDownPower(WdmPnpDevice* Owner, PIRP Irp) {
  // PoStartNextPowerIrp wants the IRP's location to still be this driver's.
  PDEVICE_OBJECT top = TopOfStack;
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(top, Irp);
  Owner->ReleaseIo();
  return status;
}

NTSTATUS WdmLowerDevice::CallAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information, PLARGE_INTEGER Timeout,
                                     BOOLEAN Power) {
  CallContext call;
  KeInitializeEvent(&call.Done, NotificationEvent, FALSE);
  call.Status = STATUS_PENDING;
  call.Information = 0;
  call.Stop = Stop;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  SetCompletion(Irp, CallDone, &call, TRUE, TRUE, TRUE);
  NTSTATUS status = Power ? PoCallDriver(TopOfStack, Irp) : IofCallDriver(TopOfStack, Irp);
  (void)status;
  NTSTATUS result = STATUS_SUCCESS;
  NTSTATUS wait = KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, Timeout);
  if (wait == STATUS_TIMEOUT) {
    // The IRP is still below: take it back before the context on this stack goes away.
    IoCancelIrp(Irp);
    KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, nullptr);
    result = STATUS_TIMEOUT;
  }
  if (Information) *Information = call.Information;
  return result == STATUS_TIMEOUT ? result : call.Status;
}

NTSTATUS WdmLowerDevice::CallDownAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information, PLARGE_INTEGER Timeout) {
  return CallAndWait(Irp, Stop, Information, Timeout, FALSE);
}

NTSTATUS WdmLowerDevice::CallDownPowerAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information) {
  return CallAndWait(Irp, Stop, Information, nullptr, TRUE);
}

NTSTATUS WdmLowerDevice::QueryCapabilities(PDEVICE_CAPABILITIES Capabilities) {
  if (!TopOfStack) return STATUS_NO_SUCH_DEVICE;
  RtlZeroMemory(Capabilities, sizeof(*Capabilities));
  Capabilities->Size = sizeof(*Capabilities);
  Capabilities->Version = 1;
  Capabilities->Address = (ULONG)-1;
  Capabilities->UINumber = (ULONG)-1;
  PIRP irp = IoAllocateIrp(TopOfStack->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  // A PnP request starts out as not supported until a driver answers it.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
  CallContext call;
  KeInitializeEvent(&call.Done, NotificationEvent, FALSE);
  call.Status = STATUS_PENDING;
  call.Information = 0;
  call.Stop = TRUE;
  SetCompletion(irp, CallDone, &call, TRUE, TRUE, TRUE);
  IofCallDriver(TopOfStack, irp);
  KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);
  return call.Status;
}

void WdmLowerDevice::SetCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN OnSuccess,
                                   BOOLEAN OnError, BOOLEAN OnCancel) {
  IoSetCompletionRoutine(Irp, Routine, Context, OnSuccess, OnError, OnCancel);
}
