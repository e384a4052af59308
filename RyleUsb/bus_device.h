// The bus device of Q93Kus: in the bus-FDO role it owns the phone's USB device and its
// three function slots; in the child-PDO role it presents one function to Windows.
#pragma once

#include "bus_config.h"
#include "channel.h"
#include "wdm_pnp_device.h"
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
  USHORT ControlLines;
  USHORT SerialState;
};

// Run-time state of one slot in the bus FDO.
struct UsbSlotChannel {
  // The device object whose binding owns the slot, null when none.
  PDEVICE_OBJECT Owner;
  BOOLEAN ProbeOk;
  BOOLEAN Active;
  USBD_PIPE_HANDLE Pipe[UsbPipeKinds];
  // Notification reader.
  UsbBusDevice* Device;
  ULONG Index;
  PURB NotifyUrb;
  PUCHAR NotifyBuffer;
  volatile ULONG NotifyState;
  volatile BOOLEAN ReplyOk;
  KEVENT NotifyEvent;
  KSPIN_LOCK NotifyLock;
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
  void StopNotifications();
  // Vendor request 0x60, 0x62 or 0x63 to a slot, answered by notification 0x31: 1 when
  // the phone confirmed. PASSIVE_LEVEL only.
  LONG SendFunctionRequest(UCHAR Request, USHORT Value, ULONG Slot);
  // The function code the mode gives a slot, 0 when the slot is unused.
  UCHAR SlotFunction(ULONG Slot) const;
  // The slot a kind binds to, or -1 for a kind this mode does not know.
  LONG SlotOfKind(UCHAR Kind) const;
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
  // Guards slot owners across the bus FDO and its children.
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
  void ReadSerialNumber();
  LONG ArmNotification(ULONG Slot);
  static void NotificationComplete(PDEVICE_OBJECT TargetPdo, PIRP Irp, PVOID Context);
  void OnNotification(UsbSlotChannel* Channel, const UCHAR* Buffer, ULONG Length);
  UsbSlotConfiguration EmptySlots[kSlots];
};
