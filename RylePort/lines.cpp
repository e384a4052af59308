// What the control driver below calls in the port: received bytes into the receive ring
// (or straight into the read being filled), and line-state events into the emulated
// modem-status and line-status registers.
#include "port.h"

namespace {

// Stores one byte: into the read being filled directly, else into the ring. BufferLock held.
void StoreByte(PPORT_EXTENSION Ext, UCHAR byte) {
  if (Ext->DirectBuffer) {
    Ext->DirectBuffer[Ext->DirectPlaced++] = byte;
    if (Ext->DirectPlaced == Ext->DirectLength) {
      Ext->DirectBuffer = nullptr;
      KeInsertQueueDpc(&Ext->ReadFullDpc, nullptr, nullptr);
    }
    return;
  }
  if (Ext->RxCount >= Ext->RxBufferSize) {
    Ext->Stats.BufferOverrunErrorCount++;
    Ext->ErrorWord |= SERIAL_ERROR_QUEUEOVERRUN;
    return;
  }
  Ext->RxBuffer[(Ext->RxHead + Ext->RxCount) % Ext->RxBufferSize] = byte;
  Ext->RxCount++;
}

}  // namespace

LONG NTAPI PortClientReceive(PVOID Context, PCHANNEL_BUFFER Buffer, PULONG Taken) {
  auto* ext = static_cast<PPORT_EXTENSION>(Context);
  if (Taken) *Taken = 0;
  if (!ext || !Buffer || !Taken) return 0;
  LONG length = (LONG)Buffer->Length;
  if (length <= 0) return 1;
  PUCHAR data = Buffer->Data + Buffer->Offset;
  KIRQL irql;
  KeAcquireSpinLock(&ext->BufferLock, &irql);
  if (!ext->RxBuffer) {
    KeReleaseSpinLock(&ext->BufferLock, irql);
    return 1;
  }
  // The ring is empty while a read is filled directly; what does not fit stays below.
  ULONG room = ext->RxBufferSize - ext->RxCount;
  if (ext->DirectBuffer) room += ext->DirectLength - ext->DirectPlaced;
  ULONG taken = (ULONG)length < room ? (ULONG)length : room;
  for (ULONG i = 0; i < taken; i++) {
    ext->Stats.ReceivedCount++;
    StoreByte(ext, data[i]);
  }
  if (ext->DirectBuffer && ext->DirectAnyByte && ext->DirectPlaced) {
    // A read that waits for the first bytes ends with this delivery, all of it that fit.
    ext->DirectBuffer = nullptr;
    KeInsertQueueDpc(&ext->ReadFullDpc, nullptr, nullptr);
  }
  KeReleaseSpinLock(&ext->BufferLock, irql);
  *Taken = taken;
  return 1;
}

LONG NTAPI PortClientEvent(PVOID Context, ULONG Code) {
  auto* ext = static_cast<PPORT_EXTENSION>(Context);
  if (!ext || Code < CHANNEL_EVENT_DCD_ON || Code > CHANNEL_EVENT_BREAK_OFF) return 1;
  static const UCHAR kLine[] = {MSR_DCD, MSR_DCD, MSR_CTS, MSR_CTS, MSR_DSR, MSR_DSR, MSR_RI, MSR_RI};
  static const UCHAR kDelta[] = {MSR_DDCD, MSR_DDCD, MSR_DCTS, MSR_DCTS, MSR_DDSR, MSR_DDSR, MSR_TERI, MSR_TERI};
  BOOLEAN wake = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  if (Code <= CHANNEL_EVENT_RING_OFF) {
    ULONG i = Code - CHANNEL_EVENT_DCD_ON;
    BOOLEAN on = (i % 2) == 0;
    UCHAR before = ext->ModemStatusShadow;
    ext->ModemStatusShadow &= ~kDelta[i];
    if (((before & kLine[i]) != 0) != on) {
      ext->ModemStatusShadow = on ? (ext->ModemStatusShadow | kLine[i]) : (ext->ModemStatusShadow & ~kLine[i]);
      ext->ModemStatusShadow |= kDelta[i];
      if (kLine[i] == MSR_DSR) {
        if (on)
          ext->LineStatusShadow |= LSR_DATA_READY;
        else
          ext->LineStatusShadow &= ~LSR_DATA_READY;
      }
      // Output handshake: hold transmission while a watched line is off.
      ULONG hs = ext->HandFlow.ControlHandShake;
      ULONG hold = 0;
      if ((hs & SERIAL_CTS_HANDSHAKE) && !(ext->ModemStatusShadow & MSR_CTS)) hold |= TX_HOLD_CTS;
      if ((hs & SERIAL_DSR_HANDSHAKE) && !(ext->ModemStatusShadow & MSR_DSR)) hold |= TX_HOLD_DSR;
      if ((hs & SERIAL_DCD_HANDSHAKE) && !(ext->ModemStatusShadow & MSR_DCD)) hold |= TX_HOLD_DCD;
      ext->TxHolding = (ext->TxHolding & ~(TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD)) | hold;
      if (ext->IsOpen) ext->ModemStatusShadow &= ~(MSR_DCTS | MSR_DDSR | MSR_TERI | MSR_DDCD);
      wake = ext->IsOpen && kLine[i] == MSR_CTS && on;
    }
  } else if (Code == CHANNEL_EVENT_BREAK_ON) {
    ext->LineStatusShadow |= LSR_BREAK;
    if (ext->IsOpen) ext->ErrorWord |= SERIAL_ERROR_BREAK;
  } else {
    ext->LineStatusShadow &= ~LSR_BREAK;
  }
  KeReleaseSpinLock(&ext->ControlLock, irql);
  if (wake && ext->CurrentWrite) PortWakeTransmitter(ext);
  return 1;
}
