// The bus device of Q93Kus: in the bus-FDO role it owns the phone's USB device and its
// three function slots; in the child-PDO role it presents one function to Windows.
#pragma once

#include "bus_config.h"
#include "channel.h"
#include "wdm_pnp_device.h"
#include "wdm_sync.h"
#include "wdm_system_thread.h"
#include "wdm_usb_interface.h"

class UsbBusDevice;

// One child to create, read from a Parameters\DeviceInfo key: its description (the value
// name) and its hardware ids (the value data, then its part after the enumerator, then
// an empty string).
struct UsbChildTemplate {
  LIST_ENTRY Link;
  PWSTR Name;           // NUL-terminated
  ULONG NameSize;       // bytes, with the NUL
  PUCHAR HardwareIds;   // multi-string
  ULONG HardwareIdsSize;
};

// What the bus keeps of one device object's binding.
struct UsbChannelBinding {
  BOOLEAN Bound;
  BOOLEAN Started;
  UCHAR Kind;
  ULONG Slot;
  PCHANNEL_BINDING Record;
  PVOID Context;
  PCHANNEL_DATA_RECEIVED DataReceived;  // DataReceived or ResponseReceived
  PCHANNEL_LINE_EVENT LineEvent;
  PCHANNEL_LENGTH_NOTICE WriteComplete;  // WriteComplete or CommandSent
  PCHANNEL_DEVICE_STATE DeviceState;
};

// The owner's binding as taken for one call into it (see UsbBusDevice::EnterOwner).
struct UsbOwnerCall {
  UCHAR Kind;
  PVOID Context;
  PCHANNEL_DATA_RECEIVED DataReceived;
  PCHANNEL_LINE_EVENT LineEvent;
  PCHANNEL_LENGTH_NOTICE WriteComplete;
  PCHANNEL_DEVICE_STATE DeviceState;
};

// One bulk IN read in flight: its IRP, URB and the buffer the phone fills.
struct UsbReadRecord {
  LIST_ENTRY Link;
  PIRP Irp;
  PURB Urb;
  PCHANNEL_BUFFER Buffer;
  UCHAR Kind;
  struct UsbSlotChannel* Channel;
};

// A unit of work for the bus's worker thread.
struct BusWorkItem {
  LIST_ENTRY Link;
  PCHANNEL_BUFFER Buffer;  // AT command (code 0x00)
  PVOID Parameter;         // codes 0x20, 0x22, 0x23
  ULONG ParameterLength;
  ULONG Slot;
  UCHAR Code;
  PKEVENT Event;  // codes 0x51 and 0x52: set when the worker got there (or purged the item)
};

struct BusWorkQueue {
  LIST_ENTRY Items;
  KSPIN_LOCK QueueLock;
  BOOLEAN Running;
  WdmSemaphore Signal;
  WdmSystemThread Thread;
  ULONG LastResponseLength;
  // Kept from the worker's start so that removal can always tell it to end.
  BusWorkItem* RemovalItem;
};

// Run-time state of one slot in the bus FDO.
struct UsbSlotChannel {
  // The device object whose binding owns the slot, null when none.
  PDEVICE_OBJECT Owner;
  BOOLEAN ProbeOk;
  BOOLEAN Active;
  // Calls into the owner in progress; CallbacksDone is set when they reach 0.
  volatile LONG Callbacks;
  KEVENT CallbacksDone;
  // The owner's control-line word (bit 0 DTR, bit 1 RTS) and last SERIAL_STATE word,
  // under the bus FDO's BindingLock.
  USHORT ControlLines;
  USHORT SerialState;
  // Notification reader.
  UsbBusDevice* Device;
  ULONG Index;
  PURB NotifyUrb;
  PUCHAR NotifyBuffer;
  volatile ULONG NotifyState;
  volatile BOOLEAN ReplyOk;
  KEVENT NotifyEvent;
  KSPIN_LOCK NotifyLock;
  // Bulk reception (slots 0 and 1), under InLock.
  KSPIN_LOCK InLock;
  LONG InPending;  // 1 while reception is on, plus the reads in flight
  KEVENT InDrained;
  LIST_ENTRY InIrps;  // UsbReadRecord
  ULONG InHold;       // 0 reading, 1 hold requested, 2 held
  ULONG InErrors;     // consecutive failed reads; kReceptionStopped once stopped
  UCHAR InKind;
  PKTHREAD InSubmitter;     // the thread inside IoCallDriver with a read of this slot
  UsbReadRecord* InDeferred;  // a re-arm the submitter's own completion left to it
  // Bulk transmission, under OutLock: one write at a time.
  KSPIN_LOCK OutLock;
  LONG OutPending;
  KEVENT OutDrained;
  PURB OutUrb;
  PCHANNEL_BUFFER OutBuffer;
  UCHAR OutKind;
  BOOLEAN OutCancelled;  // aborted by ChannelStop: its end is not reported
};

class UsbBusDevice : public WdmPnpDevice {
 public:
  static const ULONG kSlots = USB_BUS_SLOTS;
  static const ULONG kDefaultBulkInRetryLimit = 10;
  static const ULONG kDefaultKeepDataSize = 20480;

  // PnpState numbers.
  static const ULONG kNeverStarted = 0;
  static const ULONG kStateStarted = 1;
  static const ULONG kStateStopPending = 2;
  static const ULONG kStateStopped = 3;
  static const ULONG kStateRemovePending = 4;
  static const ULONG kStateSurpriseRemoved = 5;
  static const ULONG kStateRemoved = 6;

  // NotifyState numbers.
  static const ULONG kNotifyReading = 0;
  static const ULONG kNotifyStopRequested = 1;
  static const ULONG kNotifyStopped = 2;
  // InErrors value of a stopped reception.
  static const ULONG kReceptionStopped = 256;
  // How long a stop waits before it aborts again: a read submitted while the stop was
  // aborting or cancelling the others is caught by the next round (100 ms, relative).
  static constexpr LONGLONG kStopRetry = -100 * 10000LL;

  // Work codes of the worker's queue.
  static const UCHAR kWorkCommand = 0x00;
  static const UCHAR kWorkResponse = 0x01;
  static const UCHAR kWorkLineCoding = 0x20;
  static const UCHAR kWorkControlLines = 0x22;
  static const UCHAR kWorkBreak = 0x23;
  static const UCHAR kWorkResume = 0x50;
  static const UCHAR kWorkRemoval = 0x51;
  static const UCHAR kWorkPowerDown = 0x52;

  // Vendor requests of function control, each answered by notification 0x31.
  static const UCHAR kRequestActivate = 0x60;
  static const UCHAR kRequestProbe = 0x62;
  static const UCHAR kRequestDisable = 0x63;

  // Bus-FDO role: attached above the phone's PDO.
  UsbBusDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Unit);
  // Child-PDO role: one function of the parent's phone.
  UsbBusDevice(const WdmDeviceCreation& creation, UsbBusDevice* Parent);
  ~UsbBusDevice() override;

  NTSTATUS OnStartDevice(PIRP Irp) override;
  NTSTATUS OnStopDevice(PIRP Irp) override;
  NTSTATUS OnQueryStopDevice(PIRP Irp) override;
  NTSTATUS OnCancelStopDevice(PIRP Irp) override;
  NTSTATUS OnQueryRemoveDevice(PIRP Irp) override;
  NTSTATUS OnCancelRemoveDevice(PIRP Irp) override;
  NTSTATUS OnRemoveDevice(PIRP Irp) override;
  NTSTATUS OnSurpriseRemoval(PIRP Irp) override;
  NTSTATUS OnQueryCapabilities(PIRP Irp) override;
  NTSTATUS OnQueryDeviceRelations(PIRP Irp) override;
  NTSTATUS OnQueryId(PIRP Irp) override;
  NTSTATUS OnQueryDeviceText(PIRP Irp) override;
  NTSTATUS OnQueryBusInformation(PIRP Irp) override;
  NTSTATUS OnDeviceUsageNotification(PIRP Irp) override;
  NTSTATUS OnEject(PIRP Irp) override;
  NTSTATUS OnWaitWake(PIRP Irp) override;
  NTSTATUS OnSetPower(PIRP Irp) override;
  NTSTATUS OnQueryPower(PIRP Irp) override;
  NTSTATUS OnDevicePowerUp() override;
  NTSTATUS OnDeviceSleep() override;
  NTSTATUS DefaultPnp(PIRP Irp) override;
  NTSTATUS DefaultPower(PIRP Irp) override;
  NTSTATUS Power(PIRP Irp) override;
  NTSTATUS SystemControl(PIRP Irp) override;

  NTSTATUS Create(PIRP Irp) override;
  NTSTATUS Close(PIRP Irp) override;
  NTSTATUS Cleanup(PIRP Irp) override;
  NTSTATUS DeviceControl(PIRP Irp) override;
  NTSTATUS InternalDeviceControl(PIRP Irp) override;

  // Reads the device's "Parameters" (mode, limits, child templates for the present slots).
  NTSTATUS ReadParameters();
  // Reads and sorts the configuration (first start only).
  BOOLEAN ParseConfiguration();
  // Creates a child PDO per template (first start only).
  NTSTATUS CreateChildren();
  // Notification readers and function probes of the mode's slots.
  void SetUpChannels();
  // The slot's notification reader has ended (nothing below, no completion on its way).
  BOOLEAN ReaderStopped(ULONG Slot);
  void StopNotifications();
  // Vendor request 0x60, 0x62 or 0x63 to a slot, answered by notification 0x31: 1 when
  // the phone confirmed. PASSIVE_LEVEL only.
  LONG SendFunctionRequest(UCHAR Request, USHORT Value, ULONG Slot);
  // The function code the mode gives a slot, 0 when the slot is unused.
  UCHAR SlotFunction(ULONG Slot) const;
  // The slot a kind binds to, or -1 for a kind this mode does not know.
  LONG SlotOfKind(UCHAR Kind) const;
  // Bulk data of slots 0 and 1.
  void BeginReception(ULONG Slot, UCHAR Kind);
  void StartReception(ULONG Slot, UCHAR Kind);
  void StopReception(ULONG Slot);
  void AbortWrites(ULONG Slot, BOOLEAN Silent);
  LONG SubmitWrite(ULONG Slot, UCHAR Kind, PCHANNEL_BUFFER Buffer);
  void ReleaseHold(ULONG Slot);
  void HoldReception(ULONG Slot);
  // The worker and its queue.
  NTSTATUS StartWorker();
  void StopWorker();
  LONG PostWork(UCHAR Code, ULONG Slot, PCHANNEL_BUFFER Buffer, PVOID Parameter, ULONG ParameterLength);
  void WaitForWorker(UCHAR Code);
  LONG SendClassRequest(UCHAR Code, ULONG Slot, PVOID Data, ULONG Length);
  // Function control of the channel entry points (PASSIVE_LEVEL).
  LONG StartChannel(UsbBusDevice* Bound);
  LONG StopChannel(UsbBusDevice* Bound);
  void ShutDownChannels();
  // Takes the slot owner's binding for one call into it; LeaveOwner when done. FALSE when
  // the slot has no bound owner (of Kind, unless Kind is 0).
  BOOLEAN EnterOwner(ULONG Slot, UCHAR Kind, UsbOwnerCall* Call);
  void LeaveOwner(ULONG Slot);
  // The owner lost carrier: DCD off to a modem that had it on.
  void ReportCarrierLost(ULONG Slot);
  void TellDeviceState(ULONG On);
  // The bus FDO (itself, or the child's parent).
  UsbBusDevice* Bus() { return IsBusFdo ? this : Parent; }

  BOOLEAN IsBusFdo;
  // The phone's PDO (the same as PhysicalDevice of the base).
  PDEVICE_OBJECT PhysicalDeviceObject;
  // The USB stack below the bus FDO.
  WdmUsbLowerDevice Usb;
  ULONG Unit;
  ULONG PnpState;
  ULONG PreviousPnpState;

  ULONG BulkINRetryLimit;
  ULONG UsbMode;
  ULONG UpMaxKeepDataSize;
  ULONG DownMaxKeepDataSize;
  PCWSTR DeviceInfoPath[kSlots];
  LIST_ENTRY ChildTemplates;
  ULONG ChildTemplateCount;

  // Bus-FDO role: the configuration and the slots.
  UsbBusConfiguration* Configuration;
  PUCHAR ConfigurationBytes;
  ULONG ConfigurationLength;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  BOOLEAN RemoteWakeup;
  UsbSlotConfiguration* Slot;  // Configuration->Slot, or an empty table before parsing
  UsbSlotChannel Channels[kSlots];
  // Interface objects by bInterfaceNumber, pipe objects by slot and kind.
  WdmUsbInterface Interfaces[USB_BUS_MAX_INTERFACE_NUMBER];
  WdmUsbPipe Pipes[kSlots][UsbPipeKinds];
  BusWorkQueue Work;
  // Guards slot owners, their bindings and line words across the bus FDO and its children.
  KSPIN_LOCK BindingLock;
  WCHAR SerialNumber[128];
  BOOLEAN HasSerialNumber;
  FAST_MUTEX ChildLock;
  LIST_ENTRY Children;
  ULONG ChildCount;
  BOOLEAN ChildrenCreated;

  // Child-PDO role.
  UsbBusDevice* Parent;
  LIST_ENTRY ChildLink;
  PUCHAR HardwareIds;
  ULONG HardwareIdsSize;
  PWSTR Description;
  ULONG DescriptionSize;
  PWSTR InstanceId;
  ULONG InstanceIdSize;
  BOOLEAN UniqueId;
  ULONG ChildPnpState;
  ULONG ChildPreviousPnpState;
  BOOLEAN Present;

  // Both roles: this device object's binding and whether it is open.
  UsbChannelBinding Binding;
  volatile LONG OpenState;

 private:
  NTSTATUS AddChildTemplate(PCWSTR Path);
  void FreeChildTemplates();
  void EnterState(ULONG NewState);
  void InitializeCommon();
  void DeleteChildren();
  NTSTATUS BusRelations(PIRP Irp);
  NTSTATUS ChildPnp(PIRP Irp);
  NTSTATUS ChildPower(PIRP Irp);
  NTSTATUS Bind(PIRP Irp);
  NTSTATUS RegisterConfiguration();
  NTSTATUS ReadSerialNumber();
  LONG ArmNotification(ULONG Slot);
  static void NotificationComplete(PDEVICE_OBJECT TargetPdo, PIRP Irp, PVOID Context);
  static void ReadComplete(PDEVICE_OBJECT TargetPdo, PIRP Irp, PVOID Context);
  static void WriteComplete(PDEVICE_OBJECT TargetPdo, PIRP Irp, PVOID Context);
  static VOID NTAPI WorkerMain(PVOID StartContext);
  void WorkerLoop();
  void RunWorkItem(BusWorkItem* Item);
  BOOLEAN QueueWork(BusWorkItem* Item);
  BOOLEAN ReadResponse(ULONG Slot);
  void PurgeWorkLocked(LIST_ENTRY* Purged, BOOLEAN* RemovalSeen);
  void FinishPurged(LIST_ENTRY* Purged);
  void SubmitReads(UsbReadRecord* Record);
  UsbReadRecord* NewRead(UsbSlotChannel& Channel, UCHAR Kind, PCHANNEL_BUFFER Buffer);
  void FreeRead(UsbReadRecord* Record);
  void EndRead(UsbSlotChannel& Channel);
  NTSTATUS SendShared(PURB Urb, PVOID Data, ULONG Length, BOOLEAN In, ULONG TimeoutMs, PULONG Received);
  void DrainCallbacks(ULONG Slot);
  // FALSE when the reader must stop.
  BOOLEAN OnNotification(UsbSlotChannel* Channel, const UCHAR* Buffer, ULONG Length);
  UsbSlotConfiguration EmptySlots[kSlots];
};
