// Purge of the port's queues and receive ring (IOCTL_SERIAL_PURGE): aborting reads and
// writes, and emptying the ring when no read is being filled from it.
#include "port.h"

NTSTATUS PortPurge(PPORT_EXTENSION Ext, ULONG Mask) {
  if (Mask & SERIAL_PURGE_TXABORT) PortAbortWrites(Ext);
  if (Mask & SERIAL_PURGE_RXABORT) PortAbortReads(Ext);
  if (Mask & SERIAL_PURGE_RXCLEAR) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->BufferLock, &irql);
    if (!Ext->DirectBuffer) {
      Ext->RxCount = 0;
      Ext->RxHead = 0;
    }
    KeReleaseSpinLock(&Ext->BufferLock, irql);
    PortReleaseRxFlow(Ext);
  }
  // SERIAL_PURGE_TXCLEAR: there is no transmit FIFO to clear.
  return STATUS_SUCCESS;
}
