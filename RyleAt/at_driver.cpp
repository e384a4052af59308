// Q93Kat driver object: entry and AddDevice, which names each device
// "\Device\Q93KAtDevice<unit>", attaches it above the AT child and enters the child's COM
// port name in the system's port list.
#include "at_driver.h"

#include "at_device.h"
#include "port_name.h"

// The bus driver's list plus reads and writes, which are passed on to the child.
const UCHAR WdmDriverMajorFunctions[] = {
    IRP_MJ_CREATE,  IRP_MJ_CLOSE, IRP_MJ_READ,           IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
    IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP,
};
const ULONG WdmDriverMajorFunctionCount = sizeof(WdmDriverMajorFunctions) / sizeof(WdmDriverMajorFunctions[0]);

WdmDriver* WdmCreateDriver() { return new AtChannelDriver; }

NTSTATUS AtChannelDriver::DriverEntry(PUNICODE_STRING) {
  NextUnit = 0;
  return STATUS_SUCCESS;
}

NTSTATUS AtChannelDriver::AddDevice(PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING name;
  NTSTATUS status = WdmUnitName(L"Q93KAtDevice", NextUnit, 10, &name);
  if (!NT_SUCCESS(status)) return status;
  AtChannelDevice* device = WdmNewDevice<AtChannelDevice>(&name, FILE_DEVICE_UNKNOWN, nullptr, 0,
                                                          DO_BUFFERED_IO | DO_POWER_PAGABLE, &status,
                                                          PhysicalDeviceObject);
  WdmFreeUnitName(&name);
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  status = device->ConstructionStatus;
  if (!NT_SUCCESS(status)) {
    device->Destroy();
    return status;
  }
  NextUnit++;
  // The 98 platform keeps its port list elsewhere; a failure here never fails the device.
  if (!IsWin98Platform) RegisterPortName(PhysicalDeviceObject);
  return status;
}
