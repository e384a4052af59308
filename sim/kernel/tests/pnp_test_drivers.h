// Small drivers the PnP and power tests build stacks from: a root-enumerated bus with two
// children, a function driver and an upper filter for the children, each recording what
// reaches it, and faults a test can switch on to break one rule at a time.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

#include "kernel_fixture.h"
#include "pnp.h"

namespace pnptest {

enum class Fault {
  None,
  FailRemove,              // the function driver fails REMOVE_DEVICE
  TouchUnknownMinor,       // the function driver completes an unknown minor with success
  LeaveInitializing,       // the function driver's AddDevice leaves DO_DEVICE_INITIALIZING
  NoDetach,                // the function driver neither detaches nor deletes at REMOVE
  FailSystemSetPower,      // the function driver fails a system SET_POWER
  ForwardWithoutStartNext, // the function driver passes a device power IRP on without PoStartNextPowerIrp
  VetoQueryRemove,         // the function driver fails QUERY_REMOVE (not a verifier fault)
  FailStart,               // the function driver fails START_DEVICE (not a verifier fault)
  VetoQueryPower,          // the function driver fails a system QUERY_POWER (not a verifier fault)
  HoldDevicePower,         // the function driver keeps device SET_POWER IRPs until ReleaseHeldPower
  FailAdd,                 // the function driver's AddDevice fails (not a verifier fault)
  ReportFailed,            // the function driver reports PNP_DEVICE_FAILED (not a verifier fault)
  DuplicateIds,            // the bus reports both children with child A's ids
};
extern Fault gFault;

// Registers the builtin images and services (tbus, tfunc, tfilt) and the driver records:
// ROOT bus id "SIMBUS" -> tbus; children "SIMBUS\CHILD_A"/"SIMBUS\CHILD_B" -> tfunc with
// tfilt as upper filter.
void Install();

// What reached the drivers, in order ("tfunc START", "childA REMOVE", ...).
std::vector<std::string> Log();
void ClearLog();

// Unplugs child 0 or 1 of the bus: it is left out of the next bus relations answer.
void UnplugChild(int index);

// Starts the next power IRP of the held device SET_POWER and passes it on; false if none.
bool ReleaseHeldPower();

// A booted kernel with the test drivers installed; the device tree is taken down after.
class PnpFixture : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    Install();
  }
  void TearDown() override {
    sim::kernel::pnp::Shutdown();
    BootedKernel::TearDown();
  }
  // The root-enumerated bus with its two children started.
  sim::kernel::DeviceNode* StartBus() {
    sim::kernel::DeviceNode* bus = sim::kernel::pnp::CreateRootDevice("SIMBUS");
    sim::kernel::pnp::WaitIdle();
    return bus;
  }
  sim::kernel::DeviceNode* Child(const char* hardwareId) {
    for (sim::kernel::DeviceNode* n : sim::kernel::pnp::Nodes())
      if (!n->hardwareIds.empty() && n->hardwareIds[0] == hardwareId) return n;
    return nullptr;
  }
};

}  // namespace pnptest
