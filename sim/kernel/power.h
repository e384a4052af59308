// Host side of the power manager: system sleep and wake across the device tree, and the
// per-device power state the drivers report, for tests and the command line.
#pragma once

#include "devnode.h"
#include "nt/po.h"

namespace sim::kernel::power {

// Moves the machine to `state`. Going to sleep (S1..S5 from S0): QUERY_POWER to every
// started stack, children before parents, then SET_POWER the same way; a failed query
// vetoes the sleep: SET_POWER S0 goes to the stacks that got the query (parents first)
// and the failing status is returned. Waking (S0): SET_POWER S0 parents first, then the
// wait-wake requests still pending are cancelled. One stack at a time, on the PnP thread.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemState();

// The last state a driver reported for this device object with PoSetPowerState
// (PowerDeviceUnspecified before the first report).
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
// The system state the device last reported (PowerSystemWorking before any report).
SYSTEM_POWER_STATE DeviceSystemState(PDEVICE_OBJECT device);

// Wait-wake requests sent with PoRequestPowerIrp and not yet completed, for this stack.
int PendingWaitWakes(const DeviceNode* node);

// ---- Used by the PnP manager -------------------------------------------------------------
// Cancels the wait-wake requests pending on the stack of `node` (before its removal).
void CancelWaitWakes(const DeviceNode* node);
// Forgets the power bookkeeping of a device object that is going away.
void ForgetDevice(PDEVICE_OBJECT device);
// A power IRP the managers sent completed: releases the gates it still holds.
void IrpFinished(PIRP irp);
// Clears all power state (PnP manager shutdown).
void Reset();

}  // namespace sim::kernel::power
