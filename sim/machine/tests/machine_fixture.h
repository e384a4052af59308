// Test fixture: a freshly booted simulated PC per test, shut down afterwards; a test
// class picks another platform by overriding MakeOptions.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "machine/machine.h"

namespace sim::machine::testing {

class MachineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // Death tests re-run the test binary, which is safe with the machine's threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    machine_ = std::make_unique<Machine>(MakeOptions());
    machine_->Boot();
  }
  void TearDown() override {
    machine_->Shutdown();
    machine_.reset();
  }
  virtual MachineOptions MakeOptions() { return {}; }
  Machine& machine() { return *machine_; }

 private:
  std::unique_ptr<Machine> machine_;
};

}  // namespace sim::machine::testing
