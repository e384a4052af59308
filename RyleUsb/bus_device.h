// The bus device of Q93Kus: in the bus-FDO role it owns the phone's USB device and its
// three function slots; in the child-PDO role it presents one function to Windows.
#pragma once

#include "wdm_pnp_device.h"

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

struct UsbChannelSlot {
  BOOLEAN SlotPresent;
  UCHAR FunctionId;
};

class UsbBusDevice : public WdmPnpDevice {
 public:
  static const ULONG kSlots = 3;
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

  // Bus-FDO role: attached above the phone's PDO.
  UsbBusDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Unit);
  ~UsbBusDevice() override;

  NTSTATUS OnStartDevice(PIRP Irp) override;
  NTSTATUS OnStopDevice(PIRP Irp) override;
  NTSTATUS OnQueryStopDevice(PIRP Irp) override;
  NTSTATUS OnCancelStopDevice(PIRP Irp) override;
  NTSTATUS OnQueryRemoveDevice(PIRP Irp) override;
  NTSTATUS OnCancelRemoveDevice(PIRP Irp) override;
  NTSTATUS OnRemoveDevice(PIRP Irp) override;
  NTSTATUS OnSurpriseRemoval(PIRP Irp) override;
  NTSTATUS DefaultPnp(PIRP Irp) override;
  NTSTATUS DefaultPower(PIRP Irp) override;
  NTSTATUS SystemControl(PIRP Irp) override;

  // Reads the device's "Parameters" (mode, limits, child templates for the present slots).
  NTSTATUS ReadParameters();

  BOOLEAN IsBusFdo;
  // The phone's PDO (the same as PhysicalDevice of the base).
  PDEVICE_OBJECT PhysicalDeviceObject;
  // The USB stack below the bus FDO.
  WdmLowerDevice Usb;
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

  UsbChannelSlot Slot[kSlots];

 private:
  NTSTATUS AddChildTemplate(PCWSTR Path);
  void FreeChildTemplates();
  void EnterState(ULONG NewState);
};
