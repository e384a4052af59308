// Test fixture: a freshly booted simulated kernel per test, shut down afterwards.
#pragma once

#include <gtest/gtest.h>

#include "kernel.h"

namespace sim::kernel::testing {

class BootedKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    // Death tests re-run the test binary, which is safe with the machine's threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sim::kernel::Boot();
  }
  void TearDown() override { sim::kernel::Shutdown(); }
};

}  // namespace sim::kernel::testing
