// Open and close of the AT channel device: one client at a time binds its record to the
// bus's AT child through an IRP of this driver's own, starts the channel and is told it
// may transmit; close stops the channel and passes the client's close to the child.
#include "at_device.h"

namespace {

NTSTATUS NTAPI ChildCallDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  // The IRP is ours: it is read and freed by the caller.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

BOOLEAN AtChannelDevice::CallChild(UCHAR Major, PCHANNEL_BINDING Record, NTSTATUS* Status) {
  PDEVICE_OBJECT child = Lower.TopOfStack;
  if (!child) {
    *Status = STATUS_NO_SUCH_DEVICE;
    return TRUE;
  }
  PIRP irp = IoAllocateIrp(child->StackSize, FALSE);
  if (!irp) return FALSE;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->AssociatedIrp.SystemBuffer = Record;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = Major;
  IoSetCompletionRoutine(irp, ChildCallDone, &done, TRUE, TRUE, TRUE);
  IofCallDriver(child, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  *Status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return TRUE;
}

NTSTATUS AtChannelDevice::Create(PIRP Irp) {
  if (IsOpen) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);
  auto* record = static_cast<PCHANNEL_BINDING>(Irp->AssociatedIrp.SystemBuffer);
  if (!record) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);
  IsOpen = 1;
  // Chunks a late write queued after the last close must not reach the new client's
  // channel, nor their bytes be counted against it.
  Flush();

  record->Kind = (UCHAR)kKind;
  record->AtContext = DeviceObject;
  record->AtClientWrite = ClientWrite;
  record->AtClientLineControl = ClientLineControl;
  record->AtResponseReceived = ResponseReceived;
  record->AtLineEvent = LineEvent;
  record->AtCommandSent = CommandSent;
  record->AtDeviceState = DeviceState;

  NTSTATUS status;
  if (!CallChild(IRP_MJ_CREATE, record, &status)) {
    IsOpen = 0;
    return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  if (!NT_SUCCESS(status)) {
    IsOpen = 0;
    return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);
  }
  RtlCopyMemory(&Binding, record, sizeof(Binding));

  if (Binding.ChannelStart && Binding.ChannelStart(Binding.BusDevice, kKind) == 1) {
    // CTS on: the client may transmit from now on.
    if (Binding.ClientEvent) Binding.ClientEvent(Binding.ClientContext, CHANNEL_EVENT_CTS_ON);
    return CompleteIrp(Irp, status);
  }

  // The child is bound but its channel would not start: release the binding again.
  NTSTATUS closed;
  BOOLEAN sent = CallChild(IRP_MJ_CLOSE, nullptr, &closed);
  IsOpen = 0;
  return CompleteIrp(Irp, sent ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES);
}

void AtChannelDevice::StopChannel() {
  IsOpen = 0;
  if (Binding.ChannelStop) Binding.ChannelStop(Binding.BusDevice, kKind);
  TxPaused = 0;
}

NTSTATUS AtChannelDevice::Close(PIRP Irp) {
  if (!IsOpen) return CompleteIrp(Irp, STATUS_UNSUCCESSFUL);
  StopChannel();
  NTSTATUS status = PassDown(Irp);
  Flush();
  return status;
}
