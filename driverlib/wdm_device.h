// The device object base of the class library: one class object per device object,
// living in the device extension, with one virtual member per major function; device
// creation with unit-numbered names and symbolic links.
#pragma once

#include "wdm_base.h"

class WdmDevice;

// Everything device creation made before the class object is constructed; handed to the
// WdmDevice constructor so the object takes ownership of the device and its names.
struct WdmDeviceCreation {
  PDEVICE_OBJECT DeviceObject;
  UNICODE_STRING DeviceName;
  UNICODE_STRING SymbolicLinkName;
  NTSTATUS Status;
};

// `Name` value that asks the system to generate the device name.
#define WDM_GENERATED_NAME ((PCUNICODE_STRING)(LONG_PTR)-1)

// Creates the device object: "\Device\" + Name (unnamed when Name is null, system
// generated when WDM_GENERATED_NAME), the link "\??\" + LinkName ("\DosDevices\" on the
// 98 platform) when both are given, Flags ORed into the device's flags and DO_EXCLUSIVE
// making it exclusive. With a null Object the class object is to be constructed in the
// extension, which is returned; with an Object the object takes the device at once.
// Returns null with the failure in *Status.
void* CreateDeviceObject(WdmDevice* Object, ULONG ExtensionSize, PCUNICODE_STRING Name, DEVICE_TYPE DeviceType,
                         PCUNICODE_STRING LinkName, ULONG Characteristics, ULONG Flags, NTSTATUS* Status,
                         WdmDeviceCreation* Creation);

class WdmDevice {
 public:
  static const ULONG kSignatureInExtension = 0x204B4458;
  static const ULONG kSignatureInPool = 0x7E4B4458;

  explicit WdmDevice(const WdmDeviceCreation& creation);

  // Releases the object and its device object; nothing may touch it afterwards.
  virtual void Destroy();
  virtual ~WdmDevice();

  virtual NTSTATUS Dispatch(PIRP Irp);

  virtual NTSTATUS Create(PIRP Irp);
  virtual NTSTATUS CreateClose(PIRP Irp);
  virtual NTSTATUS CreateNamedPipe(PIRP Irp);
  virtual NTSTATUS Close(PIRP Irp);
  virtual NTSTATUS Read(PIRP Irp);
  virtual NTSTATUS ReadWrite(PIRP Irp);
  virtual NTSTATUS Write(PIRP Irp);
  virtual NTSTATUS QueryInformation(PIRP Irp);
  virtual NTSTATUS SetInformation(PIRP Irp);
  virtual NTSTATUS QueryEa(PIRP Irp);
  virtual NTSTATUS SetEa(PIRP Irp);
  virtual NTSTATUS FlushBuffers(PIRP Irp);
  virtual NTSTATUS QueryVolumeInformation(PIRP Irp);
  virtual NTSTATUS SetVolumeInformation(PIRP Irp);
  virtual NTSTATUS DirectoryControl(PIRP Irp);
  virtual NTSTATUS FileSystemControl(PIRP Irp);
  virtual NTSTATUS DeviceControl(PIRP Irp);
  virtual NTSTATUS InternalDeviceControl(PIRP Irp);
  virtual NTSTATUS Shutdown(PIRP Irp);
  virtual NTSTATUS LockControl(PIRP Irp);
  virtual NTSTATUS Cleanup(PIRP Irp);
  virtual NTSTATUS CreateMailslot(PIRP Irp);
  virtual NTSTATUS QuerySecurity(PIRP Irp);
  virtual NTSTATUS SetSecurity(PIRP Irp);
  virtual NTSTATUS Power(PIRP Irp);
  virtual NTSTATUS SystemControl(PIRP Irp);
  virtual NTSTATUS DeviceChange(PIRP Irp);
  virtual NTSTATUS QueryQuota(PIRP Irp);
  virtual NTSTATUS SetQuota(PIRP Irp);
  virtual NTSTATUS Pnp(PIRP Irp);

  // The class object of a device object created by the library.
  static WdmDevice* FromDeviceObject(PDEVICE_OBJECT DeviceObject) {
    return static_cast<WdmDevice*>(DeviceObject->DeviceExtension);
  }

  // Completes the IRP with a status and no priority boost; returns the status.
  static NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0);

  PDEVICE_OBJECT DeviceObject;
  ULONG Signature;
  UNICODE_STRING DeviceName;
  UNICODE_STRING SymbolicLinkName;
  NTSTATUS ConstructionStatus;
  BOOLEAN Ready;

  // Object creation inside the device extension (see WdmNewDevice).
  static void* operator new(size_t, void* extension) noexcept { return extension; }
  // Memory is released by Destroy(): an object in an extension goes with its device
  // object, a pool-allocated one (kSignatureInPool) is freed there. Nothing to do here.
  static void operator delete(void*) noexcept {}
};

typedef NTSTATUS (WdmDevice::*WdmDeviceMember)(PIRP Irp);

// Creates a device object and constructs T in its extension: T(creation, args...).
// Returns null with *Status set when the device object could not be created; the caller
// checks ConstructionStatus of a returned object and calls Destroy() when it failed.
template <class T, class... Args>
T* WdmNewDevice(PCUNICODE_STRING Name, DEVICE_TYPE DeviceType, PCUNICODE_STRING LinkName, ULONG Characteristics,
                ULONG Flags, NTSTATUS* Status, Args&&... args) {
  WdmDeviceCreation creation;
  void* extension = CreateDeviceObject(nullptr, sizeof(T), Name, DeviceType, LinkName, Characteristics, Flags,
                                       Status, &creation);
  if (!extension) return nullptr;
  T* object = new (extension) T(creation, WdmForward<Args>(args)...);
  object->Signature = WdmDevice::kSignatureInExtension;
  return object;
}

// Builds Base followed by Unit in Radix (10 or 16) into Result, a paged buffer the caller
// frees with WdmFreeUnitName. Any other radix builds no name (Result empty, Buffer null).
NTSTATUS WdmUnitName(PCWSTR Base, ULONG Unit, ULONG Radix, PUNICODE_STRING Result);
void WdmFreeUnitName(PUNICODE_STRING Name);
