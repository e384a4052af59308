// The write side of the port: a write (or flush) becomes current, is handed to the
// transmit thread, and completes when the channel has taken all its bytes, or earlier
// by its total timeout, cancel or purge with the count that was taken.
#include "port.h"

namespace {

// The references of a current request live in its first driver-context slot.
inline ULONG GetRefs(PIRP Irp) { return (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0]; }
inline void SetRefs(PIRP Irp, ULONG Refs) { Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)Refs; }

void NTAPI CancelCurrentWrite(PDEVICE_OBJECT Device, PIRP Irp) {
  PortFinishWrite(PortFromDevice(Device), REF_CANCEL, STATUS_CANCELLED, Irp->CancelIrql);
}

void NTAPI TotalExpired(PKDPC, PVOID Context, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortFinishWrite(static_cast<PPORT_EXTENSION>(Context), REF_TOTAL_TIMER, STATUS_TIMEOUT, irql);
}

BOOLEAN StartWrite(PPORT_EXTENSION Ext) {
  PIRP irp = Ext->CurrentWrite;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KIRQL irql;
  if (stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
    IoAcquireCancelSpinLock(&irql);
    Ext->CurrentWrite = nullptr;
    IoReleaseCancelSpinLock(irql);
    PortCompleteAndRelease(Ext, irp, STATUS_SUCCESS);
    return TRUE;
  }
  ULONG length = stack->Parameters.Write.Length;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  ULONG m = Ext->Timeouts.WriteTotalTimeoutMultiplier, c = Ext->Timeouts.WriteTotalTimeoutConstant;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  // 64 bits: MAXULONG milliseconds times a long write would wrap in 32.
  LONGLONG total = (m || c) ? -(LONGLONG)(((ULONGLONG)m * length + c) * 10000ULL) : 0;

  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel || Ext->WriteEarlyStatus == STATUS_CANCELLED) {
    Ext->CurrentWrite = nullptr;
    Ext->TotalCharsQueued -= length;
    IoReleaseCancelSpinLock(irql);
    PortCompleteAndRelease(Ext, irp, STATUS_CANCELLED);
    return TRUE;
  }
  Ext->WritePointer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  Ext->WriteRemaining = length;
  Ext->WriteEarlyStatus = STATUS_SUCCESS;
  Ext->WriteBeingSent = FALSE;
  SetRefs(irp, REF_SIDE | REF_CANCEL);
  IoSetCancelRoutine(irp, CancelCurrentWrite);
  if (total) {
    SetRefs(irp, GetRefs(irp) | REF_TOTAL_TIMER);
    LARGE_INTEGER due;
    due.QuadPart = total;
    KeSetTimer(&Ext->WriteTotalTimer, due, &Ext->WriteTotalDpc);
  }
  IoReleaseCancelSpinLock(irql);
  PortWakeTransmitter(Ext);
  return FALSE;
}

// Completes the write the transmit thread finished. The thread never completes a request
// itself: the completion can drop the last reference to the handle's file, and the close
// that follows stops the transmit thread and waits for it.
void NTAPI WriteDone(PKDPC, PVOID Context, PVOID Irp, PVOID) {
  auto* ext = static_cast<PPORT_EXTENSION>(Context);
  auto* irp = static_cast<PIRP>(Irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ext->CurrentWrite = nullptr;
  IoReleaseCancelSpinLock(irql);
  // Still ours until the next write is under way: a removal waits for it.
  PortHold(ext);
  PortCompleteAndRelease(ext, irp, irp->IoStatus.Status, irp->IoStatus.Information);
  PortStartNextWrite(ext);
  PortRelease(ext);
}

}  // namespace

void PortInitWriteEngine(PPORT_EXTENSION Ext) {
  KeInitializeDpc(&Ext->WriteTotalDpc, TotalExpired, Ext);
  KeInitializeDpc(&Ext->WriteDoneDpc, WriteDone, Ext);
}

// One holder of the current write lets go (cancel spin lock held; released here). A
// timeout or cancel takes the write back from the transmit side unless a chunk of it is
// with the channel right now; then the transmit thread finishes it when the call returns.
void PortFinishWrite(PPORT_EXTENSION Ext, ULONG Ref, NTSTATUS Status, KIRQL CancelIrql) {
  PIRP irp = Ext->CurrentWrite;
  if (!irp) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  if (Ext->WriteEarlyStatus == STATUS_SUCCESS && Status != STATUS_SUCCESS) Ext->WriteEarlyStatus = Status;
  ULONG refs = GetRefs(irp) & ~Ref;
  if ((refs & REF_CANCEL) && IoSetCancelRoutine(irp, nullptr)) refs &= ~REF_CANCEL;
  if ((refs & REF_TOTAL_TIMER) && KeCancelTimer(&Ext->WriteTotalTimer)) refs &= ~REF_TOTAL_TIMER;
  if ((refs & REF_SIDE) && !Ext->WriteBeingSent) refs &= ~REF_SIDE;
  SetRefs(irp, refs);
  if (refs) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  ULONG written = length - Ext->WriteRemaining;
  Ext->TotalCharsQueued -= Ext->WriteRemaining;
  Ext->WriteRemaining = 0;
  NTSTATUS status = Ext->WriteEarlyStatus;
  if (Ref == REF_SIDE) {
    // From the transmit thread: the write stays current until the DPC completes it, so
    // nothing queued behind it (a flush) can overtake it.
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = written;
    IoReleaseCancelSpinLock(CancelIrql);
    KeInsertQueueDpc(&Ext->WriteDoneDpc, irp, nullptr);
    return;
  }
  Ext->CurrentWrite = nullptr;
  IoReleaseCancelSpinLock(CancelIrql);
  PortHold(Ext);
  PortCompleteAndRelease(Ext, irp, status, written);
  PortStartNextWrite(Ext);
  PortRelease(Ext);
}

void PortStartNextWrite(PPORT_EXTENSION Ext) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Ext->CurrentWrite || IsListEmpty(&Ext->WriteQueue)) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    PIRP irp = CONTAINING_RECORD(Ext->WriteQueue.Flink, IRP, Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(irp, nullptr)) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    Ext->CurrentWrite = irp;
    Ext->WriteEarlyStatus = STATUS_SUCCESS;
    SetRefs(irp, 0);
    IoReleaseCancelSpinLock(irql);
    if (!StartWrite(Ext)) return;
  }
}

void PortAbortWrites(PPORT_EXTENSION Ext) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortCancelQueue(&Ext->WriteQueue, &cancelled);
  for (PLIST_ENTRY e = cancelled.Flink; e != &cancelled; e = e->Flink) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
    if (stack->MajorFunction == IRP_MJ_WRITE) Ext->TotalCharsQueued -= stack->Parameters.Write.Length;
  }
  PIRP current = Ext->CurrentWrite;
  if (current && GetRefs(current) == 0) {
    Ext->WriteEarlyStatus = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(irql);
  } else if (current) {
    PortFinishWrite(Ext, 0, STATUS_CANCELLED, irql);
  } else {
    IoReleaseCancelSpinLock(irql);
  }
  PortCompleteList(Ext, &cancelled, STATUS_CANCELLED);
}
