// How the PnP and power managers send their own IRPs: to the top of a stack, with one
// extra stack location of ours whose completion routine wakes the sender, and with the
// verifier's checks on how the drivers completed them.
#include "pnp.h"
#include "power.h"
#include "verifier.h"
#include "nt/po.h"

namespace sim::kernel::pnp {
namespace {

struct Waiter {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  UCHAR major;
  UCHAR minor;
};

NTSTATUS SentIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* w = static_cast<Waiter*>(context);
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, irql, (ULONG_PTR)irp, w->major, w->minor,
             w->major == IRP_MJ_PNP ? "PnP IRP completed above DISPATCH_LEVEL" : "power IRP completed above DISPATCH_LEVEL",
             nullptr);
  w->iosb = irp->IoStatus;
  if (w->major == IRP_MJ_POWER) power::IrpFinished(irp);
  KeSetEvent(&w->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool MustNotFail(UCHAR minor) {
  return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
         minor == IRP_MN_CANCEL_STOP_DEVICE;
}

}  // namespace

IO_STATUS_BLOCK SendIrpAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                               const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  IO_STATUS_BLOCK result{};
  PIRP irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    result.Status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  // Our own location on top: its completion routine runs once every driver is done.
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->MajorFunction = major;
  own->MinorFunction = minor;
  own->DeviceObject = nullptr;
  irp->IoStatus.Status = initialStatus;
  irp->IoStatus.Information = 0;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (setup) setup(next);

  Waiter w;
  KeInitializeEvent(&w.done, NotificationEvent, FALSE);
  w.major = major;
  w.minor = minor;
  IoSetCompletionRoutine(irp, SentIrpDone, &w, TRUE, TRUE, TRUE);
  PDRIVER_DISPATCH topDispatch = top->DriverObject ? top->DriverObject->MajorFunction[major] : nullptr;
  if (major == IRP_MJ_POWER)
    PoCallDriver(top, irp);
  else
    IoCallDriver(top, irp);
  KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  result = w.iosb;

  if (major == IRP_MJ_PNP && MustNotFail(minor) && !NT_SUCCESS(result.Status))
    BugCheck(kDriverVerifierDetectedViolation, 0x43006, (ULONG_PTR)device, minor, (ULONG_PTR)result.Status,
             "a driver failed a PnP IRP that must not fail (remove, surprise removal or cancel)",
             (const void*)topDispatch);
  return result;
}

}  // namespace sim::kernel::pnp
