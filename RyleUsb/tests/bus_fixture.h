// The bus driver's test bench in the simulated PC: Q93Kus.inf installed, a pass-through
// client driver for the children so a record opened on a child reaches the bus as a
// control driver's does, and the fixture that finds the bus and its children.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel.h"
#include "devnode.h"
#include "image.h"
#include "io.h"
#include "machine/machine.h"
#include "machine/tests/machine_fixture.h"
#include "phone/q93k_phone.h"
#include "pnp.h"
#include "registry.h"
#include "usb/hub_pdo.h"

namespace bus_test {

using sim::kernel::DeviceNode;
using sim::kernel::NodeState;
using sim::phone::DescriptorDefect;
using sim::phone::PhoneDescription;
using sim::phone::Q93KPhone;
namespace reg = sim::kernel::registry;

inline const char kModemId[] = "KOVARA_RYLE\\VID_0FA7&PID_5E19&MODEM";
inline const char kObexId[] = "KOVARA_RYLE\\VID_0FA7&PID_5E19&OBEX";
inline const char kAtId[] = "KOVARA_RYLE\\VID_0FA7&PID_5E19&AT";
inline const char kSerial[] = "356938035643809";


// The test client: the smallest function driver for the bus's children. It sits on the
// child and passes everything down, opens included, so a record in an open of its device
// reaches the bus the way a control driver's does.
namespace client {

inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT d) { return *static_cast<PDEVICE_OBJECT*>(d->DeviceExtension); }

inline NTSTATUS NTAPI PassDown(PDEVICE_OBJECT d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Lower(d), irp);
}

inline NTSTATUS NTAPI Pnp(PDEVICE_OBJECT d, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(d, irp);
  PDEVICE_OBJECT lower = Lower(d);
  NTSTATUS s = PassDown(d, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(d);
  return s;
}

inline NTSTATUS NTAPI Power(PDEVICE_OBJECT d, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Lower(d), irp);
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS s = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = lower;
  fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline void NTAPI Unload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassDown;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

inline void Install() {
  const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\q93ktcli";
  reg::SetDword(key, "Type", 1);
  reg::SetDword(key, "Start", 3);
  reg::SetString(key, "ImagePath", "System32\\drivers\\q93ktcli.sys");
  sim::kernel::RegisterBuiltinImage("q93ktcli", Entry);
  for (const char* id : {kModemId, kObexId, kAtId}) {
    sim::kernel::pnp::InstallDriverRecord(
        {.hardwareId = id, .service = "q93ktcli", .classGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}"});
  }
}

}  // namespace client

class BusDriver : public sim::machine::testing::MachineFixture {
 protected:
  void SetUp() override {
    MachineFixture::SetUp();
    InstallBusInf();
  }

  virtual void InstallBusInf() {
    std::string error;
    ASSERT_TRUE(machine().InstallInf(machine().PackageFile("RyleUsb/Q93Kus.inf"), &error)) << error;
  }

  DeviceNode* Bus() { return machine().Hub().DeviceNodeOf(0); }

  DeviceNode* Child(const std::string& hardwareId) {
    for (DeviceNode* c : Bus()->children) {
      if (!c->hardwareIds.empty() && c->hardwareIds.front() == hardwareId) return c;
    }
    return nullptr;
  }

  std::vector<std::string> ChildIds() {
    std::vector<std::string> ids;
    for (DeviceNode* c : Bus()->children) ids.push_back(c->hardwareIds.empty() ? "" : c->hardwareIds.front());
    return ids;
  }

  // The kernel name the I/O manager generated for a child PDO.
  static std::string NameOf(DeviceNode* node) { return sim::kernel::InfoOf(node->pdo)->name; }

  // The bus device's "Parameters" below its driver key (class keys live under Services on
  // the 98 platform).
  std::string ParametersKey() {
    return std::string("\\Registry\\Machine\\System\\CurrentControlSet\\") + (win98_ ? "Services" : "Control") +
           "\\Class\\" + Bus()->driverKey + "\\Parameters";
  }
  bool win98_ = false;

  // Writes UsbMode over the INF's value and restarts the bus device so it reads it.
  void Restart(ULONG mode) {
    reg::SetDword(ParametersKey(), "UsbMode", mode);
    ASSERT_EQ(sim::kernel::pnp::Disable(Bus()), STATUS_SUCCESS);
    ASSERT_EQ(sim::kernel::pnp::Enable(Bus()), STATUS_SUCCESS);
  }

  // IRP_MJ_CREATE with the record as system buffer, from kernel mode unless told.
  NTSTATUS Bind(const std::string& device, CHANNEL_BINDING* record, HANDLE* handle,
                KPROCESSOR_MODE mode = KernelMode) {
    return sim::kernel::OpenFile(device, GENERIC_READ | GENERIC_WRITE, mode, record, sizeof(*record), handle);
  }

  NTSTATUS BusInformation(HANDLE handle, ULONG (&out)[4], ULONG length = 16) {
    ULONG_PTR transferred = 0;
    RtlZeroMemory(out, sizeof(out));
    NTSTATUS status = sim::kernel::DeviceIoControl(handle, IOCTL_CHANNEL_BUS_INFORMATION, nullptr, 0, out, length,
                                                   &transferred);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(transferred, 16u);
    }
    return status;
  }
};

}  // namespace bus_test
