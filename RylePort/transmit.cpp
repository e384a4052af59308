// The transmit thread of an open port: one per handle, priority 16, woken by its
// semaphore; each pass hands the current write to the control driver's ClientWrite.
#include "port.h"

namespace {

PCHANNEL_CLIENT_WRITE WriterOf(PPORT_EXTENSION Ext, PVOID* context) {
  switch (Ext->Binding.Kind) {
    case CHANNEL_KIND_MODEM: *context = Ext->Binding.ModemContext; return Ext->Binding.ModemClientWrite;
    case CHANNEL_KIND_AT: *context = Ext->Binding.AtContext; return Ext->Binding.AtClientWrite;
    case CHANNEL_KIND_OBEX: *context = Ext->Binding.ObexContext; return Ext->Binding.ObexClientWrite;
  }
  return nullptr;
}

void NTAPI TransmitThread(PVOID Context) {
  auto* ext = static_cast<PPORT_EXTENSION>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  BOOLEAN refused = FALSE;
  for (;;) {
    // A refused chunk is offered again after a short pause, unless something wakes us.
    LARGE_INTEGER retry;
    retry.QuadPart = -(LONGLONG)PORT_TX_RETRY_MS * 10000;
    KeWaitForSingleObject(&ext->TransmitSemaphore, Executive, KernelMode, FALSE, refused ? &retry : nullptr);
    if (ext->TransmitStop) break;
    if (!ext->TransmitArmed) {
      // The semaphore's initial count only arms the thread.
      ext->TransmitArmed = TRUE;
      continue;
    }
    PortTransmitPass(ext, &refused);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS PortStartTransmitThread(PPORT_EXTENSION Ext) {
  KeInitializeSemaphore(&Ext->TransmitSemaphore, 1, 0x7FFFFFFF);
  Ext->TransmitArmed = FALSE;
  Ext->TransmitStop = 0;
  // A kernel handle, closed at once: the thread object reference is what the stop
  // waits on, so the driver cannot unload under a running thread.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, TransmitThread, Ext);
  if (!NT_SUCCESS(status)) return status;
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
  if (!NT_SUCCESS(status)) {
    // Without the object we cannot wait for it: tell it to stop at once.
    InterlockedExchange(&Ext->TransmitStop, 1);
    KeReleaseSemaphore(&Ext->TransmitSemaphore, IO_NO_INCREMENT, 1, FALSE);
    ZwClose(handle);
    return status;
  }
  ZwClose(handle);
  Ext->TransmitThread = static_cast<PKTHREAD>(thread);
  return STATUS_SUCCESS;
}

void PortStopTransmitThread(PPORT_EXTENSION Ext) {
  auto* thread = static_cast<PKTHREAD>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Ext->TransmitThread), nullptr));
  if (!thread) return;
  InterlockedExchange(&Ext->TransmitStop, 1);
  KeReleaseSemaphore(&Ext->TransmitSemaphore, IO_NO_INCREMENT, 1, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

void PortWakeTransmitter(PPORT_EXTENSION Ext) {
  if (Ext->TransmitThread) KeReleaseSemaphore(&Ext->TransmitSemaphore, IO_NO_INCREMENT, 1, FALSE);
}

// Hands the current write to the channel, one chunk per call, while output may flow.
// A refused chunk stays with the write (its timeouts and cancel still apply).
void PortTransmitPass(PPORT_EXTENSION Ext, BOOLEAN* Refused) {
  *Refused = FALSE;
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->ControlLock, &irql);
    BOOLEAN mayFlow = Ext->TxHolding == 0 && (Ext->ModemStatusShadow & MSR_CTS);
    PVOID context = nullptr;
    PCHANNEL_CLIENT_WRITE write = WriterOf(Ext, &context);
    KeReleaseSpinLock(&Ext->ControlLock, irql);
    if (!mayFlow) return;

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = Ext->CurrentWrite;
    if (!irp || !((ULONG_PTR)irp->Tail.Overlay.DriverContext[0] & REF_SIDE) || Ext->WriteRemaining == 0 ||
        Ext->WriteEarlyStatus != STATUS_SUCCESS) {
      IoReleaseCancelSpinLock(cancelIrql);
      return;
    }
    ULONG chunk = Ext->WriteRemaining < PORT_TX_CHUNK ? Ext->WriteRemaining : PORT_TX_CHUNK;
    PUCHAR data = Ext->WritePointer;
    Ext->WriteBeingSent = TRUE;
    IoReleaseCancelSpinLock(cancelIrql);

    LONG taken = write ? write(context, data, chunk) : 0;

    IoAcquireCancelSpinLock(&cancelIrql);
    Ext->WriteBeingSent = FALSE;
    if (taken) {
      Ext->WritePointer += chunk;
      Ext->WriteRemaining -= chunk;
      Ext->TotalCharsQueued -= chunk;
      Ext->Stats.TransmittedCount += chunk;
    }
    if (Ext->WriteRemaining == 0) {
      PortFinishWrite(Ext, REF_SIDE, STATUS_SUCCESS, cancelIrql);
      return;  // the next write wakes us
    }
    if (Ext->WriteEarlyStatus != STATUS_SUCCESS) {
      // A timeout or cancel came while the chunk was with the channel.
      PortFinishWrite(Ext, REF_SIDE, Ext->WriteEarlyStatus, cancelIrql);
      return;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (!taken) {
      *Refused = TRUE;
      return;
    }
  }
}
