// The transmit queue of the AT channel: the client's bytes cut into chunks of at most 128
// bytes, exactly one chunk at the bus at a time, the next handed over as the bus confirms
// the last, everything held while the phone is in low power.
#include "at_device.h"

namespace {

// How the bus tells that the chunk it took could not be sent to the phone: a
// confirmation of no bytes (a chunk it accepts is never empty). Without such a report the
// chunk would count as at the bus for ever and every later write would only queue.
inline BOOLEAN ReportsFailedChunk(ULONG Length) { return Length == 0; }

PCHANNEL_BUFFER NewChunk(const UCHAR* Data, ULONG Length) {
  // The header, the data and four spare bytes: data length + 20 in the 32-bit build.
  auto* chunk = static_cast<PCHANNEL_BUFFER>(WdmAllocate(CHANNEL_BUFFER_HEADER_SIZE + Length + 4));
  if (!chunk) return nullptr;
  InitializeListHead(&chunk->Links);
  chunk->Length = Length;
  chunk->Offset = 0;
  RtlCopyMemory(chunk->Data, Data, Length);
  return chunk;
}

}  // namespace

void AtChannelDevice::DiscardLocked(PCHANNEL_BUFFER Chunk) {
  WdmFree(Chunk);
  while (auto* queued = static_cast<PCHANNEL_BUFFER>(TxQueue.RemoveHead())) WdmFree(queued);
  QueuedBytes = 0;
}

BOOLEAN AtChannelDevice::SendHeadLocked() {
  auto* chunk = static_cast<PCHANNEL_BUFFER>(TxQueue.RemoveHead());
  if (!chunk) return TRUE;
  // A refused chunk stays ours; the bytes behind it would arrive without their start,
  // so they go too.
  if (!IsOpen || !Binding.SendCommand || !Binding.SendCommand(Binding.BusDevice, chunk)) {
    DiscardLocked(chunk);
    return FALSE;
  }
  return TRUE;
}

void AtChannelDevice::Flush() {
  TxLock.Acquire();
  DiscardLocked(nullptr);
  TxLock.Release();
}

LONG NTAPI AtChannelDevice::ClientWrite(PVOID Context, PVOID Data, ULONG Length) {
  AtChannelDevice* device = FromContext(Context);
  if (!device || !Data) return 0;
  if (!Length) return 1;
  device->TxLock.Acquire();
  // Bytes written after the close would wait for a channel that is gone.
  if (!device->IsOpen) {
    device->TxLock.Release();
    return 0;
  }
  BOOLEAN busy = device->QueuedBytes != 0;
  const UCHAR* next = static_cast<const UCHAR*>(Data);
  ULONG queued = 0;
  while (Length) {
    ULONG n = Length < kChunkData ? Length : kChunkData;
    PCHANNEL_BUFFER chunk = NewChunk(next, n);
    if (!chunk) break;  // the rest of this write is dropped; what is queued goes out
    device->TxQueue.InsertTail(chunk);
    queued += n;
    next += n;
    Length -= n;
  }
  LONG result = 1;
  if (queued) {
    device->QueuedBytes += queued;
    if (!busy && !device->TxPaused && !device->SendHeadLocked()) result = 0;
  }
  device->TxLock.Release();
  return result;
}

LONG NTAPI AtChannelDevice::CommandSent(PVOID Context, ULONG Length) {
  AtChannelDevice* device = FromContext(Context);
  if (!device) return 0;
  device->TxLock.Acquire();
  if (ReportsFailedChunk(Length)) {
    // The command is lost half way: its remaining chunks would make no sense to the
    // phone. The channel is idle again, so the next write goes out at once.
    device->DiscardLocked(nullptr);
    device->TxLock.Release();
    return 1;
  }
  // A confirmation from before the last open must not take the count below zero.
  device->QueuedBytes = Length < device->QueuedBytes ? device->QueuedBytes - Length : 0;
  if (!device->TxPaused) device->SendHeadLocked();
  device->TxLock.Release();
  return 1;
}

LONG NTAPI AtChannelDevice::DeviceState(PVOID Context, ULONG On) {
  AtChannelDevice* device = FromContext(Context);
  if (!device) return 0;
  if (On == 0) {
    device->TxPaused = 1;
    return 1;
  }
  if (On != 1) return 0;
  device->TxPaused = 0;
  device->TxLock.Acquire();
  if (device->IsOpen) device->SendHeadLocked();
  device->TxLock.Release();
  return 1;
}
