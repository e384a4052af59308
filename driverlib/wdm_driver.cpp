// The driver object: default behaviour of entry, AddDevice and Unload, and the walk that
// destroys a driver's devices.
#include "wdm_driver.h"

WdmDriver* TheDriver = nullptr;
BOOLEAN DispatchHookEnabled = FALSE;

WdmDriver::WdmDriver() : DriverObject(nullptr), Options(0), DevicesAtEntry(FALSE) {
  RegistryPath.Buffer = nullptr;
  RegistryPath.Length = RegistryPath.MaximumLength = 0;
  if (!TheDriver) TheDriver = this;
}

WdmDriver::~WdmDriver() {
  WdmFree(RegistryPath.Buffer);
  RegistryPath.Buffer = nullptr;
  if (TheDriver == this) TheDriver = nullptr;
}

NTSTATUS WdmDriver::DriverEntry(PUNICODE_STRING) { return STATUS_SUCCESS; }

void WdmDriver::Unload() {
  if (DevicesAtEntry) DestroyAllDevices();
}

NTSTATUS WdmDriver::AddDevice(PDEVICE_OBJECT) { return STATUS_SUCCESS; }

NTSTATUS WdmDriver::DispatchHook(WdmDevice* Device, PIRP Irp) { return Device->Dispatch(Irp); }

static void DestroyChain(PDEVICE_OBJECT device) {
  if (!device) return;
  // The end of the NextDevice chain is handled first: destroying a device unlinks it
  // from the chain, so each device is destroyed after those behind it.
  DestroyChain(device->NextDevice);
  if (device->DeviceExtension) WdmDevice::FromDeviceObject(device)->Destroy();
}

void WdmDriver::DestroyAllDevices() {
  if (DriverObject) DestroyChain(DriverObject->DeviceObject);
}
