// Q93Kus driver object: entry, unload and AddDevice, which names each bus device
// "\Device\Q93KUsbDevice<unit>" and attaches it above the phone's PDO.
#include "bus_driver.h"

#include "bus_device.h"

const UCHAR WdmDriverMajorFunctions[] = {
    IRP_MJ_CREATE, IRP_MJ_CLOSE,  IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
    IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP,
};
const ULONG WdmDriverMajorFunctionCount = sizeof(WdmDriverMajorFunctions) / sizeof(WdmDriverMajorFunctions[0]);

WdmDriver* WdmCreateDriver() { return new UsbBusDriver; }

NTSTATUS UsbBusDriver::DriverEntry(PUNICODE_STRING) {
  NextUnit = 0;
  return STATUS_SUCCESS;
}

void UsbBusDriver::Unload() { DestroyAllDevices(); }

NTSTATUS UsbBusDriver::AddDevice(PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING name;
  NTSTATUS status = WdmUnitName(L"Q93KUsbDevice", NextUnit, 10, &name);
  if (!NT_SUCCESS(status)) return status;
  UsbBusDevice* device = WdmNewDevice<UsbBusDevice>(&name, FILE_DEVICE_UNKNOWN, nullptr, 0,
                                                    DO_BUFFERED_IO | DO_POWER_PAGABLE, &status,
                                                    PhysicalDeviceObject, NextUnit);
  WdmFreeUnitName(&name);
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  status = device->ConstructionStatus;
  if (!NT_SUCCESS(status)) {
    device->Destroy();
    return status;
  }
  NextUnit++;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(device->DeviceObject, DevicePowerState, d0);
  device->DevicePowerState = PowerDeviceD0;
  return status;
}
