// The read side of the port: a read becomes current, takes what the ring holds, and
// otherwise is filled directly by the receive side until it is full, its total or
// interval timeout expires, or it is cancelled or purged.
#include "port.h"

namespace {

// The references of a current request live in its first driver-context slot.
inline ULONG GetRefs(PIRP Irp) { return (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0]; }
inline void SetRefs(PIRP Irp, ULONG Refs) { Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)Refs; }

NTSTATUS StatusOf(LONG code) {
  switch (code) {
    case READ_TIMED_OUT: return STATUS_TIMEOUT;
    case READ_CANCELLED: return STATUS_CANCELLED;
    default: return STATUS_SUCCESS;
  }
}

// Ends the current read that has no references yet (cancel spin lock held; released).
void CompleteUnarmed(PPORT_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG Information, KIRQL CancelIrql) {
  Ext->CurrentRead = nullptr;
  IoReleaseCancelSpinLock(CancelIrql);
  PortCompleteAndRelease(Ext, Irp, Status, Information);
}

void NTAPI CancelCurrentRead(PDEVICE_OBJECT Device, PIRP Irp) {
  PortFinishRead(PortFromDevice(Device), REF_CANCEL, READ_CANCELLED, Irp->CancelIrql);
}

void NTAPI TotalExpired(PKDPC, PVOID Context, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortFinishRead(static_cast<PPORT_EXTENSION>(Context), REF_TOTAL_TIMER, READ_TIMED_OUT, irql);
}

void NTAPI ReadFull(PKDPC, PVOID Context, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortFinishRead(static_cast<PPORT_EXTENSION>(Context), REF_SIDE, READ_DONE, irql);
}

// Interval check: the read times out when no byte came for the interval time since the
// last one; its clock starts with the first byte it receives.
void NTAPI IntervalCheck(PKDPC, PVOID Context, PVOID, PVOID) {
  auto* ext = static_cast<PPORT_EXTENSION>(Context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (ext->ReadCode != READ_OPEN) {
    PortFinishRead(ext, REF_INTERVAL_TIMER, ext->ReadCode, irql);
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&ext->BufferLock);
  ULONG placed = ext->DirectPlaced;
  KeReleaseSpinLockFromDpcLevel(&ext->BufferLock);
  ULONGLONG now = KeQueryInterruptTime();
  if (placed != ext->IntervalLastCount) {
    ext->IntervalLastCount = placed;
    ext->IntervalLastTime = now;
  } else if (placed != 0 && (LONGLONG)(now - ext->IntervalLastTime) >= ext->IntervalTime) {
    PortFinishRead(ext, REF_INTERVAL_TIMER, READ_TIMED_OUT, irql);
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = ext->IntervalPoll;
  KeSetTimer(&ext->ReadIntervalTimer, due, &ext->ReadIntervalDpc);
  IoReleaseCancelSpinLock(irql);
}

// A cancelled read reports no data (the I/O manager copies nothing back for an error),
// so the bytes it had are put back in front of the ring for the next read. Returns the
// bytes it must still report: all of them when the ring has no room, and the read then
// completes with success instead, so nothing is lost. Cancel spin lock held.
ULONG GiveBack(PPORT_EXTENSION Ext, PIRP Irp, ULONG Placed) {
  auto* data = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  KeAcquireSpinLockAtDpcLevel(&Ext->BufferLock);
  BOOLEAN fits = Ext->RxBuffer && !Ext->DirectBuffer && Ext->RxCount + Placed <= Ext->RxBufferSize;
  if (fits) {
    ULONG size = Ext->RxBufferSize;
    ULONG head = (Ext->RxHead + size - Placed) % size;
    for (ULONG i = 0; i < Placed; i++) Ext->RxBuffer[(head + i) % size] = data[i];
    Ext->RxHead = head;
    Ext->RxCount += Placed;
  }
  KeReleaseSpinLockFromDpcLevel(&Ext->BufferLock);
  return fits ? 0 : Placed;
}

// Serves the current read. Returns TRUE when it completed at once.
BOOLEAN StartRead(PPORT_EXTENSION Ext) {
  PIRP irp = Ext->CurrentRead;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Read.Length;
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);

  SERIAL_TIMEOUTS t;
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  t = Ext->Timeouts;
  KeReleaseSpinLock(&Ext->ControlLock, irql);

  const ULONG kMax = MAXULONG;
  ULONG interval = t.ReadIntervalTimeout, m = t.ReadTotalTimeoutMultiplier, c = t.ReadTotalTimeoutConstant;
  BOOLEAN atOnce = FALSE, atLeastOne = FALSE, cutToOne = FALSE, useTotal = FALSE;
  if (interval == kMax) {
    if (c == 0 && m == 0) {
      atOnce = TRUE;
    } else if (c != kMax) {
      atLeastOne = TRUE;
      useTotal = TRUE;
      cutToOne = m == kMax;
    }
  } else {
    useTotal = !(m == 0 && c == 0);
  }
  BOOLEAN useInterval = interval != 0 && interval != kMax;
  // Bytes already there all go to the read; only a read that has to wait for its first
  // byte is cut down to that one byte.
  ULONG needed = length;
  // Milliseconds to 100 ns in 64 bits: a large multiplier times a large length must not wrap.
  LONGLONG total = 0;
  if (useTotal) {
    ULONGLONG mult = m == kMax ? 0 : m;
    total = -(LONGLONG)((mult * needed + c) * 10000ULL);
  }

  ULONG taken = PortRxTake(Ext, buffer, needed);
  if (atOnce || taken == needed || (atLeastOne && taken)) {
    IoAcquireCancelSpinLock(&irql);
    CompleteUnarmed(Ext, irp, STATUS_SUCCESS, taken, irql);
    PortReleaseRxFlow(Ext);
    return TRUE;
  }
  if (taken) PortReleaseRxFlow(Ext);
  if (cutToOne) needed = 1;

  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel || Ext->ReadCode == READ_CANCELLED) {
    ULONG keep = taken ? GiveBack(Ext, irp, taken) : 0;
    CompleteUnarmed(Ext, irp, keep ? STATUS_SUCCESS : STATUS_CANCELLED, keep, irql);
    return TRUE;
  }
  KeAcquireSpinLockAtDpcLevel(&Ext->BufferLock);
  // Bytes may have come in meanwhile; then the receive side fills the rest directly.
  ULONG more = 0;
  while (taken + more < needed && Ext->RxCount) {
    buffer[taken + more] = Ext->RxBuffer[Ext->RxHead];
    Ext->RxHead = (Ext->RxHead + 1) % Ext->RxBufferSize;
    Ext->RxCount--;
    more++;
  }
  taken += more;
  if (taken == needed || (atLeastOne && taken)) {
    KeReleaseSpinLockFromDpcLevel(&Ext->BufferLock);
    CompleteUnarmed(Ext, irp, STATUS_SUCCESS, taken, irql);
    return TRUE;
  }
  Ext->DirectBuffer = buffer;
  Ext->DirectLength = needed;
  Ext->DirectPlaced = taken;
  Ext->DirectAnyByte = atLeastOne;
  Ext->RxHead = 0;
  KeReleaseSpinLockFromDpcLevel(&Ext->BufferLock);

  Ext->ReadCode = READ_OPEN;
  SetRefs(irp, REF_SIDE | REF_CANCEL);
  IoSetCancelRoutine(irp, CancelCurrentRead);
  if (useTotal) {
    SetRefs(irp, GetRefs(irp) | REF_TOTAL_TIMER);
    LARGE_INTEGER due;
    due.QuadPart = total;
    KeSetTimer(&Ext->ReadTotalTimer, due, &Ext->ReadTotalDpc);
  }
  if (useInterval) {
    SetRefs(irp, GetRefs(irp) | REF_INTERVAL_TIMER);
    Ext->IntervalTime = (LONGLONG)interval * 10000;
    // Short intervals are checked every clock tick, long ones every second.
    Ext->IntervalPoll = Ext->IntervalTime < 200000000LL ? -(LONGLONG)KeQueryTimeIncrement() : -10000000LL;
    Ext->IntervalLastCount = taken;
    Ext->IntervalLastTime = KeQueryInterruptTime();
    LARGE_INTEGER due;
    due.QuadPart = Ext->IntervalPoll;
    KeSetTimer(&Ext->ReadIntervalTimer, due, &Ext->ReadIntervalDpc);
  }
  IoReleaseCancelSpinLock(irql);
  return FALSE;
}

}  // namespace

void PortInitReadEngine(PPORT_EXTENSION Ext) {
  KeInitializeDpc(&Ext->ReadTotalDpc, TotalExpired, Ext);
  KeInitializeDpc(&Ext->ReadIntervalDpc, IntervalCheck, Ext);
  KeInitializeDpc(&Ext->ReadFullDpc, ReadFull, Ext);
}

// Copies up to Length bytes out of the ring.
ULONG PortRxTake(PPORT_EXTENSION Ext, PUCHAR To, ULONG Length) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->BufferLock, &irql);
  ULONG n = 0;
  while (n < Length && Ext->RxCount) {
    ULONG run = Ext->RxBufferSize - Ext->RxHead;
    if (run > Ext->RxCount) run = Ext->RxCount;
    if (run > Length - n) run = Length - n;
    RtlCopyMemory(To + n, Ext->RxBuffer + Ext->RxHead, run);
    Ext->RxHead = (Ext->RxHead + run) % Ext->RxBufferSize;
    Ext->RxCount -= run;
    n += run;
  }
  KeReleaseSpinLock(&Ext->BufferLock, irql);
  return n;
}

// Receive flow control is released once the ring has drained to the XON limit.
void PortReleaseRxFlow(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->BufferLock, &irql);
  BOOLEAN release = Ext->RxHolding && Ext->RxCount <= Ext->XonLimit;
  ULONG held = Ext->RxHolding;
  if (release) Ext->RxHolding &= ~(RX_HOLD_DTR | RX_HOLD_RTS);
  KeReleaseSpinLock(&Ext->BufferLock, irql);
  if (release && (held & RX_HOLD_DTR)) PortSetDtr(Ext, TRUE);
  if (release && (held & RX_HOLD_RTS)) PortSetRts(Ext, TRUE);
}

// One finisher of the current read gives up its reference (cancel spin lock held; it
// is released here). The first to come decides how the read ends; the read completes
// when the cancel routine, both timers and the receive side have let go of it.
void PortFinishRead(PPORT_EXTENSION Ext, ULONG Ref, LONG Code, KIRQL CancelIrql) {
  PIRP irp = Ext->CurrentRead;
  if (!irp) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  if (Ext->ReadCode == READ_OPEN) Ext->ReadCode = Code;
  ULONG refs = GetRefs(irp) & ~Ref;
  if ((refs & REF_CANCEL) && IoSetCancelRoutine(irp, nullptr)) refs &= ~REF_CANCEL;
  if ((refs & REF_TOTAL_TIMER) && KeCancelTimer(&Ext->ReadTotalTimer)) refs &= ~REF_TOTAL_TIMER;
  if ((refs & REF_INTERVAL_TIMER) && KeCancelTimer(&Ext->ReadIntervalTimer)) refs &= ~REF_INTERVAL_TIMER;
  KeAcquireSpinLockAtDpcLevel(&Ext->BufferLock);
  if ((refs & REF_SIDE) && Ext->DirectBuffer) {
    // Take the read back from the receive side; new bytes go to the ring again.
    Ext->DirectBuffer = nullptr;
    refs &= ~REF_SIDE;
  }
  ULONG placed = Ext->DirectPlaced;
  KeReleaseSpinLockFromDpcLevel(&Ext->BufferLock);
  SetRefs(irp, refs);
  if (refs) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  NTSTATUS status = StatusOf(Ext->ReadCode);
  if (status == STATUS_CANCELLED && placed) {
    placed = GiveBack(Ext, irp, placed);
    if (placed) status = STATUS_SUCCESS;
  }
  Ext->CurrentRead = nullptr;
  IoReleaseCancelSpinLock(CancelIrql);
  PortHold(Ext);
  PortCompleteAndRelease(Ext, irp, status, placed);
  PortStartNextRead(Ext);
  PortRelease(Ext);
}

void PortStartNextRead(PPORT_EXTENSION Ext) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Ext->CurrentRead || IsListEmpty(&Ext->ReadQueue)) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    PIRP irp = CONTAINING_RECORD(Ext->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(irp, nullptr)) {
      // Its cancel routine runs as soon as we let go of the lock.
      IoReleaseCancelSpinLock(irql);
      return;
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    Ext->CurrentRead = irp;
    Ext->ReadCode = READ_OPEN;
    SetRefs(irp, 0);
    IoReleaseCancelSpinLock(irql);
    if (!StartRead(Ext)) return;
  }
}

void PortAbortReads(PPORT_EXTENSION Ext) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortCancelQueue(&Ext->ReadQueue, &cancelled);
  PIRP current = Ext->CurrentRead;
  if (current && GetRefs(current) == 0) {
    // Still being started: the starter sees this and ends it.
    Ext->ReadCode = READ_CANCELLED;
    IoReleaseCancelSpinLock(irql);
  } else if (current) {
    PortFinishRead(Ext, 0, READ_CANCELLED, irql);
  } else {
    IoReleaseCancelSpinLock(irql);
  }
  PortCompleteList(Ext, &cancelled, STATUS_CANCELLED);
}
