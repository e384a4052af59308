// The verifier of the simulated kernel: rule checks that stop the machine with a
// bugcheck report naming the rule, its parameters, the driver and the call site.
#pragma once

#include <string>

#include "nt/types.h"

namespace sim::kernel {

// Bugcheck codes the simulated kernel raises (documented values).
enum BugCheckCode : ULONG {
  kIrqlNotLessOrEqual = 0x0A,
  kIrqlNotGreaterOrEqual = 0x09,
  kSpinLockAlreadyOwned = 0x0F,
  kSpinLockNotOwned = 0x10,
  kMultipleIrpCompleteRequests = 0x44,
  kNoMoreIrpStackLocations = 0x35,
  kBadPoolCaller = 0xC2,
  kDriverVerifierDetectedViolation = 0xC4,
  kDriverIrqlNotLessOrEqual = 0xD1,
  kIrqlGtZeroAtSystemService = 0x4A,
  kDriverReturnedStatusReparse = 0xCE,  // unused placeholder for symmetry with Windows
  kDriverPowerStateFailure = 0x9F,
  kManuallyInitiatedCrash = 0xE2,
  kAttemptedSwitchFromDpc = 0xB8,
  kThreadExitWithLockHeld = 0x20,  // KERNEL_APC_PENDING_DURING_EXIT stands in for held-lock exits
};

// Stops the machine: prints the report to stderr and aborts the process.
// `rule` is a short readable name of what was broken; `callSite` the offending
// return address (symbolised to driver image and function when possible).
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const char* rule,
                           const void* callSite);

// Name of the module and symbol that holds `address` ("Q93Kus.sys!DriverEntry+0x12").
std::string DescribeAddress(const void* address);

// Receives the report before the machine stops (tests and the CLI capture it).
using BugCheckHook = void (*)(const std::string& report);
void SetBugCheckHook(BugCheckHook hook);

}  // namespace sim::kernel

#define SIM_CALLER() __builtin_return_address(0)
