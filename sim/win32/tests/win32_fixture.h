// Fixture of the kernel32 tests: a booted machine with the serial-like test driver
// loaded and reachable as COM9, and a helper that opens it the way applications do.
#pragma once

#include <windows.h>

#include "../../kernel/tests/kernel_fixture.h"
#include "kernel.h"
#include "w32_test_driver.h"

namespace w32test {

class Win32Fixture : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    ASSERT_EQ(Install(), STATUS_SUCCESS);
  }
  void TearDown() override {
    Remove();
    BootedKernel::TearDown();
  }

  static HANDLE OpenPort(DWORD flags = 0) {
    return CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }
};

}  // namespace w32test
