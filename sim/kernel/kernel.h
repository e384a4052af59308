// Host-side control of the simulated kernel: boot and shutdown, the virtual clock,
// thread bookkeeping and the reports tests and the command line read.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "nt/types.h"

namespace sim::kernel {

struct BootOptions {
  // Run the clock at wall speed (scaled) instead of jumping to the next due time.
  bool wallClock = false;
  double wallScale = 1.0;
  // Number of DPC processors; DPCs queued to the machine run on these threads.
  int dpcThreads = 1;
  // The registry layout of the 98 platform (Services\Class, no Control\Class).
  bool win98Registry = false;
};

// Brings up a fresh kernel state: clock at zero, empty pool and handle tables, the DPC
// thread running. The calling thread becomes a simulated thread.
void Boot(const BootOptions& options = {});
// Stops the DPC thread and forgets every kernel object. System threads still running
// are reported (a driver that leaves a thread running is a fault).
void Shutdown();
bool IsBooted();

// Virtual time since boot in 100 ns units (the interrupt time).
ULONGLONG Now();
// Seconds of virtual time since boot, for printing.
double NowSeconds();
// System time at boot in 100 ns units since 1601 (what KeQuerySystemTime adds to Now()).
ULONGLONG SystemTimeAtBoot();

// Names the calling thread in reports (also registers it as a simulated thread).
void SetThreadName(const char* name);

// Runs a host-level blocking operation (joining a host thread, waiting on a host
// condition) while the calling thread counts as blocked, so the virtual clock may move.
void HostBlocking(const std::function<void()>& fn);

// Sleeps the calling thread for `ms` milliseconds of virtual time.
void Sleep(ULONG ms);

struct ThreadInfo {
  std::string name;
  LONG priority;
  bool systemThread;
  bool blocked;
  std::string wait;  // what it waits for, with the call site
};
std::vector<ThreadInfo> Threads();
std::string DescribeThreads();

// Called with the report when every simulated thread is blocked and nothing is due.
// The default prints it and stops the machine (aborts the process).
using DeadlockHook = void (*)(const std::string& report);
void SetDeadlockHook(DeadlockHook hook);

// Names a dispatcher object for reports ("worker semaphore").
void NameObject(const void* object, const char* name);

// Driver images: the loader registers each loaded module so pool and reports can
// name the image an address belongs to.
void RegisterImage(const void* moduleBase, const std::string& name);
void UnregisterImage(const void* moduleBase);
std::string ImageNameOf(const void* address);

}  // namespace sim::kernel
