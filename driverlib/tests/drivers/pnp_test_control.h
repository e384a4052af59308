// What a PnP test and its test driver share: the test's log and the driver's settings,
// handed to the driver image through the "Control" value of its service key.
#pragma once

#include <ntddk.h>

struct PnpTestControl {
  // Called by the driver at any IRQL with one event ("Start", "power D set 4" ...).
  void (*Log)(PnpTestControl* control, const char* event);
  // A read completes after this many milliseconds of virtual time (0: at once).
  ULONG ReadDelayMs;
  // Policy values to use instead of the library defaults; kKeep leaves a default.
  ULONG PowerPolicy;
  ULONG QueryPowerPolicy;
  ULONG PowerHoldPolicy;
  ULONG GatePolicy;
  ULONG RemovalPolicy;
  // Reads the driver's member completed (counted by the driver).
  volatile LONG ReadsServed;
};

static const ULONG kPnpTestKeep = 0xFFFFFFFF;
