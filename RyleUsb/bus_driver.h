// The bus driver object of Q93Kus: hands out unit numbers and creates the bus device
// for the phone's USB device.
#pragma once

#include "wdm_driver.h"

class UsbBusDriver : public WdmDriver {
 public:
  UsbBusDriver() : NextUnit(0) {}
  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override;
  void Unload() override;
  NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDeviceObject) override;

  // Unit number of the next bus device; numbers are not reused while the driver is loaded.
  ULONG NextUnit;
};
