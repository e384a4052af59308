// The driver image's entry point and the routines it installs: one dispatch routine for
// every major the driver serves, AddDevice and Unload, all routed to the driver object.
#include "wdm_driver.h"

namespace {

NTSTATUS NTAPI CommonDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  WdmDevice* device = WdmDevice::FromDeviceObject(DeviceObject);
  if (DispatchHookEnabled && TheDriver) return TheDriver->DispatchHook(device, Irp);
  return device->Dispatch(Irp);
}

NTSTATUS NTAPI CommonAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  NTSTATUS status = TheDriver->AddDevice(PhysicalDeviceObject);
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d; d = d->NextDevice) d->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

void NTAPI CommonUnload(PDRIVER_OBJECT) {
  TheDriver->Unload();
  // A DPC of this driver that completed its last request may still be returning into the
  // image; the image must not go before it has.
  KeFlushQueuedDpcs();
  delete TheDriver;
  TheDriver = nullptr;
  WdmRunExitList();
}

// Private NUL-terminated copy of the registry path (paged pool); empty when no memory.
void CopyRegistryPath(PUNICODE_STRING from, PUNICODE_STRING to) {
  to->Buffer = nullptr;
  to->Length = to->MaximumLength = 0;
  if (!from || !from->Buffer) return;
  USHORT chars = from->Length / sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(WdmAllocate((chars + 1) * sizeof(WCHAR), PagedPool));
  if (!buffer) return;
  RtlCopyMemory(buffer, from->Buffer, chars * sizeof(WCHAR));
  buffer[chars] = 0;
  to->Buffer = buffer;
  to->Length = chars * sizeof(WCHAR);
  to->MaximumLength = (chars + 1) * sizeof(WCHAR);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WdmRunStaticConstructors();
  if (!NT_SUCCESS(WdmInitStatus)) {
    WdmRunExitList();
    return WdmInitStatus;
  }
  WdmDetectPlatform();

  WdmDriver* driver = WdmCreateDriver();
  if (!driver) {
    WdmRunExitList();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  driver->DriverObject = DriverObject;
  CopyRegistryPath(RegistryPath, &driver->RegistryPath);

  for (ULONG i = 0; i < WdmDriverMajorFunctionCount; i++)
    DriverObject->MajorFunction[WdmDriverMajorFunctions[i]] = CommonDispatch;
  DriverObject->DriverUnload = CommonUnload;
  DriverObject->DriverExtension->AddDevice = CommonAddDevice;
  driver->Options &= ~0x7u;

  NTSTATUS status = driver->DriverEntry(&driver->RegistryPath);
  driver->DevicesAtEntry = DriverObject->DeviceObject != nullptr;
  if (!NT_SUCCESS(status)) {
    // Windows unloads a failed image without calling Unload: release the driver object
    // here so nothing the entry allocated outlives the image.
    if (driver->DevicesAtEntry) driver->DestroyAllDevices();
    delete driver;
    TheDriver = nullptr;
    DriverObject->DriverUnload = nullptr;
    WdmRunExitList();
  }
  return status;
}
