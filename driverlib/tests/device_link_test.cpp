// Device creation in the class library: the symbolic link is made only when a device name
// and a link name are both given, under the prefix of the platform the hive shows, goes
// with the device, and a link that cannot be made leaves no device and no pool behind.
#include <memory>
#include <string>

#include "image.h"
#include "io.h"
#include "kernel_fixture.h"
#include "pool.h"
#include "registry.h"
#include "wdm_driver.h"

namespace {

namespace pool = sim::kernel::pool;
namespace reg = sim::kernel::registry;

NTSTATUS NTAPI LinkTestEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

std::string Utf8(const UNICODE_STRING& s) { return reg::ToUtf8(s.Buffer, s.Length / sizeof(WCHAR)); }

class DeviceLink : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LinkTest";
    reg::SetString(service, "ImagePath", "\\SystemRoot\\System32\\drivers\\LinkTest.sys", REG_EXPAND_SZ);
    reg::SetDword(service, "Type", 1);
    sim::kernel::RegisterBuiltinImage("LinkTest", LinkTestEntry);
    PDRIVER_OBJECT object = nullptr;
    ASSERT_EQ(sim::kernel::LoadDriver("LinkTest", &object), STATUS_SUCCESS);
    // The library's driver object, as the image's entry point would have made it.
    driver_.reset(new WdmDriver);
    ASSERT_EQ(TheDriver, driver_.get());
    driver_->DriverObject = object;
  }
  void TearDown() override {
    driver_.reset();
    IsWin98Platform = FALSE;
    EXPECT_EQ(pool::LeakReport(), "");
    BootedKernel::TearDown();
  }
  // The hive of `layout`, and the platform the library detects in it at entry.
  static void UseLayout(reg::Layout layout) {
    reg::Reset(layout);
    WdmDetectPlatform();
  }

  std::unique_ptr<WdmDriver> driver_;
};

struct LinkCase {
  const char* what;
  reg::Layout layout;
  const WCHAR* name;       // null: unnamed
  const char* link;        // the link name the object records, empty when none is made
};

TEST_F(DeviceLink, TheLinkCarriesThePrefixOfThePlatform) {
  const LinkCase kCases[] = {
      {"NT", reg::Layout::Nt, L"LinkTest0", "\\??\\LINKTEST"},
      {"98 platform", reg::Layout::Win98, L"LinkTest0", "\\DosDevices\\LINKTEST"},
      {"unnamed device on NT", reg::Layout::Nt, nullptr, ""},
      {"unnamed device on the 98 platform", reg::Layout::Win98, nullptr, ""},
  };
  for (const LinkCase& c : kCases) {
    SCOPED_TRACE(c.what);
    UseLayout(c.layout);
    UNICODE_STRING name, link;
    if (c.name) RtlInitUnicodeString(&name, c.name);
    RtlInitUnicodeString(&link, L"LINKTEST");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    WdmDevice* device =
        WdmNewDevice<WdmDevice>(c.name ? &name : nullptr, FILE_DEVICE_UNKNOWN, &link, 0, DO_BUFFERED_IO, &status);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Utf8(device->SymbolicLinkName), c.link);
    if (*c.link) {
      EXPECT_EQ(Utf8(device->DeviceName), "\\Device\\LinkTest0");
      EXPECT_EQ(sim::kernel::LinkTarget(c.link), "\\Device\\LinkTest0");
    }
    device->Destroy();
    EXPECT_EQ(sim::kernel::LinkTarget("\\??\\LINKTEST"), "") << "the link goes with the device";
  }
}

TEST_F(DeviceLink, ALinkThatCannotBeMadeLeavesNoDevice) {
  const reg::Layout kLayouts[] = {reg::Layout::Nt, reg::Layout::Win98};
  for (reg::Layout layout : kLayouts) {
    SCOPED_TRACE(int(layout));
    UseLayout(layout);
    const size_t outstanding = pool::Outstanding().size();
    // Someone else's link already has the name.
    UNICODE_STRING taken, target;
    RtlInitUnicodeString(&taken, L"\\??\\LINKTEST");
    RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&taken, &target), STATUS_SUCCESS);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"LinkTest0");
    RtlInitUnicodeString(&link, L"LINKTEST");
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(WdmNewDevice<WdmDevice>(&name, FILE_DEVICE_UNKNOWN, &link, 0, DO_BUFFERED_IO, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::kernel::FindDevice("\\Device\\LinkTest0"), nullptr);
    EXPECT_EQ(driver_->DriverObject->DeviceObject, nullptr);
    EXPECT_EQ(sim::kernel::LinkTarget("\\??\\LINKTEST"), "\\Device\\Elsewhere");
    EXPECT_EQ(pool::Outstanding().size(), outstanding) << "the device name went with the device";
    IoDeleteSymbolicLink(&taken);
  }
}

}  // namespace
