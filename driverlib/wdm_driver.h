// The driver object of the class library: one instance per driver image, entered at
// DriverEntry, asked to add devices and to unload.
#pragma once

#include "wdm_base.h"
#include "wdm_device.h"

class WdmDriver : public WdmPoolObject {
 public:
  // Options bits: route CREATE/CLOSE to CreateClose, READ/WRITE to ReadWrite.
  static const ULONG kRouteReadWrite = 0x2;
  static const ULONG kRouteCreateClose = 0x4;

  WdmDriver();
  virtual ~WdmDriver();
  virtual NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath);
  virtual void Unload();
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDeviceObject);
  virtual NTSTATUS DispatchHook(WdmDevice* Device, PIRP Irp);

  // Destroys every device object of the driver, the last created first.
  void DestroyAllDevices();

  PDRIVER_OBJECT DriverObject;
  UNICODE_STRING RegistryPath;
  ULONG Options;
  BOOLEAN DevicesAtEntry;
};

// The driver of this image; set by the first WdmDriver constructed.
extern WdmDriver* TheDriver;
// Always false in these drivers: every IRP goes straight to its device's class object.
extern BOOLEAN DispatchHookEnabled;

// Supplied by each driver image: its driver object (allocated from non-paged pool, null
// when there is no memory) and the major functions its devices serve.
WdmDriver* WdmCreateDriver();
extern const UCHAR WdmDriverMajorFunctions[];
extern const ULONG WdmDriverMajorFunctionCount;

// The image's C++ runtime: static constructors and the exit list of their destructors.
extern NTSTATUS WdmInitStatus;
void WdmRunStaticConstructors();
void WdmRunExitList();
