// The driver object of Q93Kat: hands out unit numbers and creates one AT channel device
// above each AT child device of the bus driver.
#pragma once

#include "wdm_driver.h"

class AtChannelDriver : public WdmDriver {
 public:
  AtChannelDriver() : NextUnit(0) {}
  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override;
  NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDeviceObject) override;

  // Unit number of the next device; numbers are not reused while the driver is loaded.
  ULONG NextUnit;
};
