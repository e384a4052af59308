// Fixture of the I/O manager tests: a booted kernel with the two test drivers installed as
// services and loaded from builtin images, and a stack of a lower device with a filter.
#pragma once

#include <string>

#include "../kernel_fixture.h"
#include "devnode.h"
#include "image.h"
#include "io.h"
#include "io_test_drivers.h"
#include "registry.h"

namespace iotest {

inline const char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

inline void InstallService(const std::string& name) {
  std::string key = kServices + name;
  sim::kernel::registry::SetString(key, "ImagePath", "\\SystemRoot\\System32\\drivers\\" + name + ".sys",
                                   REG_EXPAND_SZ);
  sim::kernel::registry::SetDword(key, "Type", 1);
  sim::kernel::registry::SetDword(key, "Start", 3);
}

class IoFixture : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    sim::kernel::registry::Reset(sim::kernel::registry::Layout::Nt);
    Reset();
    sim::kernel::RegisterBuiltinImage("IoTestLower", LowerEntry);
    sim::kernel::RegisterBuiltinImage("IoTestUpper", UpperEntry);
    InstallService("IoTestLower");
    InstallService("IoTestUpper");
    ASSERT_EQ(sim::kernel::LoadDriver("IoTestLower", &lowerDriver), STATUS_SUCCESS);
    ASSERT_EQ(sim::kernel::LoadDriver("IoTestUpper", &upperDriver), STATUS_SUCCESS);
  }

  // The lower device (named when `name` is given) and the filter attached above it.
  void BuildStack(const wchar_t* name = L"\\Device\\IoTestLower0", ULONG ioFlags = DO_BUFFERED_IO,
                  bool exclusive = false) {
    UNICODE_STRING n;
    if (name) RtlInitUnicodeString(&n, name);
    ASSERT_EQ(IoCreateDevice(lowerDriver, 0, name ? &n : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &lower),
              STATUS_SUCCESS);
    lower->Flags |= ioFlags;
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) = IoAttachDeviceToDeviceStack(upper, lower);
    upper->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
    S().lowerDevice = lower;
    S().upperDevice = upper;
  }

  void TearDownStack() {
    if (upper) {
      IoDetachDevice(lower);
      IoDeleteDevice(upper);
      upper = nullptr;
    }
    if (lower) {
      IoDeleteDevice(lower);
      lower = nullptr;
      S().lowerDevice = nullptr;
    }
  }

  void TearDown() override {
    TearDownStack();
    sim::kernel::Shutdown();
  }

  PDRIVER_OBJECT lowerDriver = nullptr, upperDriver = nullptr;
  PDEVICE_OBJECT lower = nullptr, upper = nullptr;
};

}  // namespace iotest
