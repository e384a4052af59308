// The COM-port driver's shared state: the port extension of every device object, its
// flags, queues and shadow registers, and the routines the driver's files offer each
// other (life cycle, channel, read/write engine, power).
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include "channel.h"

#define PORT_POOL_TAG 'MDMS'  // "SMDM" in a pool dump

// PnpState
enum : ULONG { PortAdded, PortStarted, PortQueryStop, PortStopped, PortRestarting, PortQueryRemove };
// AcceptFlags
enum : ULONG { AcceptRemoving = 0x1, AcceptSurpriseRemoving = 0x2, AcceptStopping = 0x4, AcceptStopped = 0x8 };
// DeviceFlags
enum : ULONG { DeviceStarted = 0x1, DeviceStoppedOnce = 0x2 };

// Shadow register bits.
enum : UCHAR {
  MCR_DTR = 0x01, MCR_RTS = 0x02, MCR_OUT2 = 0x08,
  LCR_8_DATA = 0x03, LCR_BREAK = 0x40, LCR_DLAB = 0x80,
  LSR_DATA_READY = 0x01, LSR_BREAK = 0x10,
  MSR_DCTS = 0x01, MSR_DDSR = 0x02, MSR_TERI = 0x04, MSR_DDCD = 0x08,
  MSR_CTS = 0x10, MSR_DSR = 0x20, MSR_RI = 0x40, MSR_DCD = 0x80,
};
// Transmit and receive holding bits.
enum : ULONG {
  TX_HOLD_CTS = 0x01, TX_HOLD_DSR = 0x02, TX_HOLD_DCD = 0x04, TX_HOLD_XOFF = 0x08, TX_HOLD_BREAK = 0x10,
  RX_HOLD_DTR = 0x01, RX_HOLD_XOFF = 0x02, RX_HOLD_RTS = 0x04, RX_HOLD_DSR = 0x08,
};
// References a current request carries; it completes once none is left.
enum : ULONG { REF_SIDE = 0x1, REF_CANCEL = 0x2, REF_TOTAL_TIMER = 0x4, REF_INTERVAL_TIMER = 0x8 };
// How the current read ended (first finisher wins).
enum : LONG { READ_OPEN = 0, READ_CANCELLED = -1, READ_TIMED_OUT = -2, READ_DONE = -3 };

#define PORT_RX_BUFFER_SIZE 16384
// Bytes handed to the channel in one ClientWrite call: a refusal puts at most this much
// at stake, and what was not taken stays with the write.
#define PORT_TX_CHUNK 4096
// A refused chunk is offered again after this many milliseconds.
#define PORT_TX_RETRY_MS 20

typedef struct _PORT_EXTENSION {
  // Identity
  PDEVICE_OBJECT DeviceObject;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT LowerDevice;
  UNICODE_STRING DeviceName;
  UNICODE_STRING SymbolicLinkName;
  UNICODE_STRING PortName;  // 66-byte buffer: at most 32 characters
  UNICODE_STRING InterfaceName;
  BOOLEAN CreatedSymbolicLink;
  BOOLEAN CreatedSerialCommEntry;
  BOOLEAN SkipNaming;
  BOOLEAN NamingUndone;
  LIST_ENTRY AllPortsLink;
  BOOLEAN Linked;

  // Plug and play
  KSPIN_LOCK FlagsLock;
  ULONG PnpState;
  ULONG AcceptFlags;
  ULONG DeviceFlags;
  LIST_ENTRY StalledList;
  LONG PendingCount;
  KEVENT PendingIdle;
  KMUTEX OpenMutex;
  KMUTEX CloseMutex;
  LONG OpenCount;
  BOOLEAN IsOpen;
  BOOLEAN OwnsPowerPolicy;

  // Serial settings
  ULONG CurrentBaud;
  UCHAR LineControl;
  SERIAL_HANDFLOW HandFlow;
  SERIAL_TIMEOUTS Timeouts;
  KSPIN_LOCK ControlLock;
  ULONG TxFifoAmount;

  // Holding bits and shadows (FlagsLock... guarded by ControlLock)
  ULONG TxHolding;
  ULONG RxHolding;
  UCHAR ModemControlShadow;
  UCHAR LineControlShadow;
  UCHAR LineStatusShadow;
  UCHAR ModemStatusShadow;
  ULONG ErrorWord;
  SERIALPERF_STATS Stats;

  // Receive ring and the read being filled directly (BufferLock)
  KSPIN_LOCK BufferLock;
  PUCHAR RxBuffer;
  ULONG RxBufferSize;
  ULONG RxHead;  // next read slot
  ULONG RxCount; // bytes held
  ULONG XonLimit, XoffLimit, Mark80;
  PUCHAR DirectBuffer;  // read buffer the receive side fills, null when the ring is used
  ULONG DirectLength;
  ULONG DirectPlaced;
  BOOLEAN DirectAnyByte;  // the read ends with the first bytes that arrive
  KDPC ReadFullDpc;

  // Queues and current requests (system cancel spin lock)
  LIST_ENTRY ReadQueue;
  LIST_ENTRY WriteQueue;
  PIRP CurrentRead;
  PIRP CurrentWrite;
  LONG ReadCode;
  ULONG ReadLength;      // bytes the current read wants
  ULONG ReadTaken;       // bytes given to it from the ring before direct fill
  BOOLEAN ReadHasInterval;
  LONGLONG IntervalTime;      // 100 ns
  LONGLONG IntervalPoll;      // relative due time of each check
  ULONG IntervalLastCount;
  ULONGLONG IntervalLastTime;
  KTIMER ReadTotalTimer, ReadIntervalTimer, WriteTotalTimer;
  KDPC ReadTotalDpc, ReadIntervalDpc, WriteTotalDpc;
  KDPC WriteDoneDpc;  // completes what the transmit thread finished
  PUCHAR WritePointer;
  ULONG WriteRemaining;
  NTSTATUS WriteEarlyStatus;
  BOOLEAN WriteBeingSent;
  ULONG TotalCharsQueued;

  // Channel
  CHANNEL_BINDING Binding;
  PKTHREAD TransmitThread;
  KSEMAPHORE TransmitSemaphore;
  BOOLEAN TransmitArmed;
  volatile LONG TransmitStop;

  // Power
  DEVICE_POWER_STATE PowerState;
  DEVICE_POWER_STATE DeviceStateMap[POWER_SYSTEM_MAXIMUM];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
} PORT_EXTENSION, *PPORT_EXTENSION;

// Driver-wide state (driver.cpp)
typedef struct _PORT_DRIVER_DEFAULTS {
  ULONG BreakOnEntry, DebugLevel, ForceFifoEnable, RxFIFO, TxFIFO, PermitShare, LogFifo;
} PORT_DRIVER_DEFAULTS;
extern PORT_DRIVER_DEFAULTS PortDefaults;
extern UNICODE_STRING PortRegistryPath;
extern LIST_ENTRY PortAllPorts;
extern KSPIN_LOCK PortAllPortsLock;

// Request admission and the pending count (device.cpp)
NTSTATUS PortAdmit(PPORT_EXTENSION Ext, PIRP Irp);
void PortRelease(PPORT_EXTENSION Ext);
// One more count for work that goes on after it completes its request (starting the next
// one): a removal must not delete the device under it. Only while a count is held.
inline void PortHold(PPORT_EXTENSION Ext) { InterlockedIncrement(&Ext->PendingCount); }
NTSTATUS PortCompleteAndRelease(PPORT_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0);
DRIVER_ADD_DEVICE PortAddDevice;
DRIVER_DISPATCH PortDispatchPnp;

// External naming and the event log (naming.cpp)
void PortDoExternalNaming(PPORT_EXTENSION Ext);
void PortUndoExternalNaming(PPORT_EXTENSION Ext, BOOLEAN AtRemoval);
void PortLogError(PDEVICE_OBJECT Device, NTSTATUS Code, ULONG Unique, NTSTATUS Final, PCUNICODE_STRING Insertion);

// Channel (channel.cpp, transmit.cpp, lines.cpp)
DRIVER_DISPATCH PortDispatchCreate;
DRIVER_DISPATCH PortDispatchClose;
void PortStopTransmitThread(PPORT_EXTENSION Ext);
void PortWakeTransmitter(PPORT_EXTENSION Ext);
NTSTATUS PortStartTransmitThread(PPORT_EXTENSION Ext);
LONG NTAPI PortClientReceive(PVOID Context, PCHANNEL_BUFFER Buffer, PULONG Taken);
LONG NTAPI PortClientEvent(PVOID Context, ULONG Code);
void PortSetDtr(PPORT_EXTENSION Ext, BOOLEAN On);
void PortSetRts(PPORT_EXTENSION Ext, BOOLEAN On);
void PortMarkClosed(PPORT_EXTENSION Ext);
void PortReleaseRxFlow(PPORT_EXTENSION Ext);

// Read, write and queues (queue.cpp, read.cpp, write.cpp, purge.cpp)
void PortInitQueues(PPORT_EXTENSION Ext);
void PortInitReadEngine(PPORT_EXTENSION Ext);
void PortInitWriteEngine(PPORT_EXTENSION Ext);
DRIVER_DISPATCH PortDispatchRead;
DRIVER_DISPATCH PortDispatchWrite;
DRIVER_DISPATCH PortDispatchFlush;
DRIVER_DISPATCH PortDispatchCleanup;
DRIVER_DISPATCH PortDispatchQueryInformation;
DRIVER_DISPATCH PortDispatchSetInformation;
void PortStartNextRead(PPORT_EXTENSION Ext);
void PortStartNextWrite(PPORT_EXTENSION Ext);
void PortFinishRead(PPORT_EXTENSION Ext, ULONG Ref, LONG Code, KIRQL CancelIrql);
void PortFinishWrite(PPORT_EXTENSION Ext, ULONG Ref, NTSTATUS Status, KIRQL CancelIrql);
void PortCancelQueue(PLIST_ENTRY Queue, PLIST_ENTRY Completed);
void PortCompleteList(PPORT_EXTENSION Ext, PLIST_ENTRY Completed, NTSTATUS Status);
void PortAbortReads(PPORT_EXTENSION Ext);
void PortAbortWrites(PPORT_EXTENSION Ext);
void PortAbortAll(PPORT_EXTENSION Ext);
void PortTransmitPass(PPORT_EXTENSION Ext, BOOLEAN* Refused);
void PortReleaseTimers(PPORT_EXTENSION Ext);
ULONG PortRxTake(PPORT_EXTENSION Ext, PUCHAR To, ULONG Length);
NTSTATUS PortPurge(PPORT_EXTENSION Ext, ULONG Mask);

// Control requests (ioctl.cpp)
DRIVER_DISPATCH PortDispatchDeviceControl;
DRIVER_DISPATCH PortDispatchInternalControl;

// Power and system control (power.cpp, system_control.cpp)
DRIVER_DISPATCH PortDispatchPower;
DRIVER_DISPATCH PortDispatchSystemControl;
NTSTATUS PortRequestDevicePower(PPORT_EXTENSION Ext, DEVICE_POWER_STATE State);

inline PPORT_EXTENSION PortFromDevice(PDEVICE_OBJECT Device) {
  return static_cast<PPORT_EXTENSION>(Device->DeviceExtension);
}
