// The request queues of the port: queuing under the cancel spin lock, cancel of queued
// requests, aborting everything at cleanup and removal, and the small file requests
// (flush, cleanup, query and set information).
#include "port.h"

namespace {

void NTAPI CancelQueued(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_WRITE) ext->TotalCharsQueued -= stack->Parameters.Write.Length;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PortCompleteAndRelease(ext, Irp, STATUS_CANCELLED);
}

// Queues a read or a write; the first of an idle queue becomes current at once. The
// request is always pending for the caller, even when it completes before we return.
NTSTATUS StartOrQueue(PPORT_EXTENSION Ext, PIRP Irp, PLIST_ENTRY Queue, PIRP* Current, void (*StartNext)(PPORT_EXTENSION)) {
  IoMarkIrpPending(Irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_WRITE) Ext->TotalCharsQueued += stack->Parameters.Write.Length;
  if (Irp->Cancel) {
    if (stack->MajorFunction == IRP_MJ_WRITE) Ext->TotalCharsQueued -= stack->Parameters.Write.Length;
    IoReleaseCancelSpinLock(irql);
    PortCompleteAndRelease(Ext, Irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(Irp, CancelQueued);
  BOOLEAN idle = *Current == nullptr;
  IoReleaseCancelSpinLock(irql);
  if (idle) {
    // The request may complete in there, and its completion may close the last handle;
    // the starter goes on with the queue after that.
    PortHold(Ext);
    StartNext(Ext);
    PortRelease(Ext);
  }
  return STATUS_PENDING;
}

}  // namespace

void PortInitQueues(PPORT_EXTENSION Ext) {
  InitializeListHead(&Ext->ReadQueue);
  InitializeListHead(&Ext->WriteQueue);
  KeInitializeTimer(&Ext->ReadTotalTimer);
  KeInitializeTimer(&Ext->ReadIntervalTimer);
  KeInitializeTimer(&Ext->WriteTotalTimer);
  PortInitReadEngine(Ext);
  PortInitWriteEngine(Ext);
}

// Takes every request off a queue whose cancel routine we can still clear (cancel spin
// lock held); one whose routine is already running finishes on its own.
void PortCancelQueue(PLIST_ENTRY Queue, PLIST_ENTRY Completed) {
  PLIST_ENTRY entry = Queue->Flink;
  while (entry != Queue) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr)) {
      RemoveEntryList(entry);
      InsertTailList(Completed, entry);
    }
    entry = next;
  }
}

void PortCompleteList(PPORT_EXTENSION Ext, PLIST_ENTRY Completed, NTSTATUS Status) {
  while (!IsListEmpty(Completed)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(Completed), IRP, Tail.Overlay.ListEntry);
    // Held requests gave their count back when they were held.
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (Status != STATUS_DELETE_PENDING) PortRelease(Ext);
  }
}

void PortAbortAll(PPORT_EXTENSION Ext) {
  PortAbortWrites(Ext);
  PortAbortReads(Ext);
}

void PortReleaseTimers(PPORT_EXTENSION Ext) {
  KeCancelTimer(&Ext->ReadTotalTimer);
  KeCancelTimer(&Ext->ReadIntervalTimer);
  KeCancelTimer(&Ext->WriteTotalTimer);
  KeRemoveQueueDpc(&Ext->ReadTotalDpc);
  KeRemoveQueueDpc(&Ext->ReadIntervalDpc);
  KeRemoveQueueDpc(&Ext->WriteTotalDpc);
  KeFlushQueuedDpcs();
}

NTSTATUS NTAPI PortDispatchRead(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
  return StartOrQueue(ext, Irp, &ext->ReadQueue, &ext->CurrentRead, PortStartNextRead);
}

NTSTATUS NTAPI PortDispatchWrite(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length == 0) return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
  return StartOrQueue(ext, Irp, &ext->WriteQueue, &ext->CurrentWrite, PortStartNextWrite);
}

NTSTATUS NTAPI PortDispatchFlush(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  // Completes once every write queued before it has gone.
  return StartOrQueue(ext, Irp, &ext->WriteQueue, &ext->CurrentWrite, PortStartNextWrite);
}

NTSTATUS NTAPI PortDispatchCleanup(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (NT_SUCCESS(status) || status == STATUS_DELETE_PENDING) PortAbortAll(ext);
  return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI PortDispatchQueryInformation(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG need = 0;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation: need = 24; break;
    case FilePositionInformation: need = 8; break;
    default: return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_PARAMETER);
  }
  if (stack->Parameters.QueryFile.Length < need) return PortCompleteAndRelease(ext, Irp, STATUS_BUFFER_TOO_SMALL);
  RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, need);
  return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS, need);
}

NTSTATUS NTAPI PortDispatchSetInformation(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  status = IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass == FileEndOfFileInformation
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
  return PortCompleteAndRelease(ext, Irp, status);
}
