// "usbtfunc": the smallest function driver for the phone's USB device. It
// attaches above the hub's PDO, passes every IRP down untouched and notes the
// PnP requests it saw, so tests can drive the PDO through a real stack.
#include <mutex>

#include <wdm.h>

#include "image.h"
#include "registry.h"
#include "usb/tests/hub_fixture.h"

namespace sim::usb::testing {
namespace {

struct Extension {
  PDEVICE_OBJECT lower;
};

std::mutex gLogMu;
std::vector<std::string> gLog;

void Note(UCHAR minor) {
  const char* name = nullptr;
  switch (minor) {
    case IRP_MN_START_DEVICE: name = "START"; break;
    case IRP_MN_SURPRISE_REMOVAL: name = "SURPRISE_REMOVAL"; break;
    case IRP_MN_REMOVE_DEVICE: name = "REMOVE"; break;
    default: return;
  }
  std::lock_guard lock(gLogMu);
  gLog.push_back(name);
}

PDEVICE_OBJECT Lower(PDEVICE_OBJECT d) { return static_cast<Extension*>(d->DeviceExtension)->lower; }

NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Lower(d), irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT d, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  Note(minor);
  if (minor != IRP_MN_REMOVE_DEVICE) return PassDown(d, irp);
  PDEVICE_OBJECT lower = Lower(d);
  const NTSTATUS s = PassDown(d, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(d);
  return s;
}

NTSTATUS Power(PDEVICE_OBJECT d, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Lower(d), irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS s = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  auto* x = static_cast<Extension*>(fdo->DeviceExtension);
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!x->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

void InstallPassThroughDriver() {
  const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbtfunc";
  sim::kernel::registry::SetDword(key, "Type", 1);
  sim::kernel::registry::SetDword(key, "Start", 3);
  sim::kernel::registry::SetString(key, "ImagePath", "System32\\drivers\\usbtfunc.sys");
  sim::kernel::RegisterBuiltinImage("usbtfunc", Entry);
  sim::kernel::pnp::InstallDriverRecord({.hardwareId = "USB\\VID_0FA7&PID_5E19&REV_0100",
                                         .service = "usbtfunc",
                                         .classGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}"});
}

std::vector<std::string> PassThroughLog() {
  std::lock_guard lock(gLogMu);
  return gLog;
}

void ClearPassThroughLog() {
  std::lock_guard lock(gLogMu);
  gLog.clear();
}

}  // namespace sim::usb::testing
