// The bus device of Q93Kus: in the bus-FDO role it owns the phone's USB device and its
// three function slots; in the child-PDO role it presents one function to Windows.
#pragma once

#include "wdm_device.h"

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

class UsbBusDevice : public WdmDevice {
 public:
  static const ULONG kSlots = 3;
  static const ULONG kDefaultBulkInRetryLimit = 10;
  static const ULONG kDefaultKeepDataSize = 20480;

  // Bus-FDO role: attached above the phone's PDO.
  UsbBusDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Unit);
  ~UsbBusDevice() override;

  NTSTATUS Pnp(PIRP Irp) override;
  NTSTATUS Power(PIRP Irp) override;
  NTSTATUS SystemControl(PIRP Irp) override;

  // Reads the device's "Parameters" (mode, limits, child templates for the present slots).
  NTSTATUS ReadParameters();

  BOOLEAN IsBusFdo;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDevice;
  ULONG Unit;
  DEVICE_POWER_STATE DevicePowerState;

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
};
