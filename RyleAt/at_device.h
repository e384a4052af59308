// The AT channel device of Q93Kat: binds the client's channel record to the bus's AT
// child, cuts the client's AT command bytes into chunks for the bus one at a time, and
// passes the phone's responses and line events up to the client.
#pragma once

#include "channel.h"
#include "wdm_list.h"
#include "wdm_pnp_device.h"
#include "wdm_sync.h"

class AtChannelDevice : public WdmPnpDevice {
 public:
  // Data bytes in one chunk handed to the bus.
  static const ULONG kChunkData = 128;
  // What the phone's AT channel is opened and closed as.
  static const ULONG kKind = CHANNEL_KIND_AT;

  AtChannelDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT PhysicalDeviceObject);
  ~AtChannelDevice() override;

  NTSTATUS Create(PIRP Irp) override;
  NTSTATUS Close(PIRP Irp) override;
  NTSTATUS Read(PIRP Irp) override;
  NTSTATUS Write(PIRP Irp) override;
  NTSTATUS DeviceControl(PIRP Irp) override;
  NTSTATUS InternalDeviceControl(PIRP Irp) override;
  NTSTATUS Cleanup(PIRP Irp) override;
  NTSTATUS SystemControl(PIRP Irp) override;
  NTSTATUS OnStartDevice(PIRP Irp) override;
  NTSTATUS OnStopDevice(PIRP Irp) override;
  NTSTATUS OnRemoveDevice(PIRP Irp) override;
  NTSTATUS DefaultPnp(PIRP Irp) override;
  NTSTATUS DefaultPower(PIRP Irp) override;

  // Entries the client calls through the record.
  static LONG NTAPI ClientWrite(PVOID Context, PVOID Data, ULONG Length);
  static LONG NTAPI ClientLineControl(PVOID Context, ULONG Code);
  // Callbacks the bus calls through the record.
  static LONG NTAPI ResponseReceived(PVOID Context, PCHANNEL_BUFFER Buffer);
  static LONG NTAPI LineEvent(PVOID Context, ULONG Code);
  static LONG NTAPI CommandSent(PVOID Context, ULONG Length);
  static LONG NTAPI DeviceState(PVOID Context, ULONG On);

  // The device whose record names Context as its AT context, or null for a null,
  // foreign or never-bound context.
  static AtChannelDevice* FromContext(PVOID Context);

  // Empties the transmit queue and forgets every byte counted as queued or at the bus.
  void Flush();

  CHANNEL_BINDING Binding;
  volatile ULONG IsOpen;
  WdmSpinLock TxLock;
  ULONG QueuedBytes;
  WdmList TxQueue;
  volatile ULONG TxPaused;
  WdmLowerDevice Lower;

 private:
  // Sends a fresh IRP of this major (with the record as system buffer, or none) to the
  // child and waits for it. FALSE when no IRP could be had.
  BOOLEAN CallChild(UCHAR Major, PCHANNEL_BINDING Record, NTSTATUS* Status);
  // Ends a bound channel: IsOpen cleared, the bus's channel stopped, transmission resumed.
  void StopChannel();
  // Under TxLock: hands the head chunk to the bus; on refusal discards it and the rest of
  // the queue. FALSE when the bus refused.
  BOOLEAN SendHeadLocked();
  // Under TxLock: frees the chunk and every queued one, QueuedBytes back to 0.
  void DiscardLocked(PCHANNEL_BUFFER Chunk);
  NTSTATUS PassDown(PIRP Irp);
};
