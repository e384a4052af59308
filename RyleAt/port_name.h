// Entry of a device's COM port name in the system's legacy port list, once per device
// instance. Shared by the AT and OBEX control drivers: each lists port_name.cpp among its
// sources.
#pragma once

#include <ntddk.h>

// Reads "PortName" from the device key of PhysicalDeviceObject and, unless the key's
// "Inst" marker says it was done before, writes "<name>:" = "115200,n,8,1" under the
// Windows NT "Ports" key and sets the marker. Failures are silent. PASSIVE_LEVEL.
void RegisterPortName(PDEVICE_OBJECT PhysicalDeviceObject);
