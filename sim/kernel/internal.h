// Internal state shared by the parts of the simulated kernel: the thread record, the
// dispatcher lock and the scheduler that owns the virtual clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "nt/status.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ps.h"

namespace sim::kernel {

struct WaitState {
  ULONG count = 0;
  PVOID* objects = nullptr;
  PKWAIT_BLOCK blocks = nullptr;
  WAIT_TYPE type = WaitAny;
  bool hasDeadline = false;
  ULONGLONG deadline = 0;
  NTSTATUS result = STATUS_PENDING;
  const void* site = nullptr;
  const char* what = nullptr;  // internal waits describe themselves
};

}  // namespace sim::kernel

// The thread object. Its dispatcher header is signalled when the thread ends.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  std::string name;
  KPRIORITY priority = 8;
  bool systemThread = false;
  bool registered = false;  // counts toward the scheduler's running total
  bool blocked = false;
  unsigned generation = 0;
  std::condition_variable cv;
  sim::kernel::WaitState* wait = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  int criticalRegion = 0;
  PKSTART_ROUTINE start = nullptr;
  PVOID startContext = nullptr;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  ULONG_PTR id = 0;
};
struct _ETHREAD : _KTHREAD {};

namespace sim::kernel {

// One lock guards every dispatcher object, the timer queue and the scheduler counts,
// as the dispatcher database lock does on Windows.
extern std::mutex gDispatcher;

struct Scheduler {
  unsigned generation = 0;
  bool booted = false;
  bool wallClock = false;
  double wallScale = 1.0;
  ULONGLONG now = 0;
  ULONGLONG systemTimeBase = 0;
  int registered = 0;
  int blocked = 0;
  int hostBlocked = 0;  // threads blocked in a host operation (HostBlocking)
  std::set<std::pair<ULONGLONG, PKTIMER>> timers;
  std::set<std::pair<ULONGLONG, PKTHREAD>> deadlines;
  std::set<PKTHREAD> threads;
};
extern Scheduler gSched;

// The calling thread's record; creates and registers one for a host thread on first use.
PKTHREAD CurrentThread();
// Starts a host thread that is a simulated thread from its first instruction (counted
// as running before it starts, so the clock cannot jump past its first steps).
std::thread StartSimThread(const std::string& name, std::function<void()> fn, KPRIORITY priority = 8);
// Current IRQL of the calling thread.
KIRQL& CurrentIrql();

// Under gDispatcher: the thread stops counting as running; may advance the clock.
void MarkBlockedLocked(PKTHREAD thread);
// Under gDispatcher: the thread counts as running again and is woken.
void MarkRunnableLocked(PKTHREAD thread);
// Under gDispatcher: blocks the calling thread until its wait result is set.
void BlockLocked(std::unique_lock<std::mutex>& lock, PKTHREAD thread);
// Under gDispatcher: wakes the waiters an object's new state satisfies.
void SignalObjectLocked(PDISPATCHER_HEADER header);
// Under gDispatcher: fires the timers and timed waits that are due at gSched.now.
void ExpireDueLocked();
// Under gDispatcher: a simulated thread begins or ends.
void RegisterThreadLocked(PKTHREAD thread);
void UnregisterThreadLocked(PKTHREAD thread);

// Waits on behalf of the calling thread (every blocking call of the kernel ends here).
NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const void* site,
                     const char* what = nullptr);

// Queues a DPC from the timer code (any IRQL).
BOOLEAN QueueDpc(PRKDPC dpc, PVOID a1, PVOID a2);
void StartDpcThreads(int count);
// A set timer or queued DPC whose routine lies in `image` (a driver about to unload), or null.
const void* PendingDeferredWorkIn(const std::string& image);
void StopDpcThreads();
void StartWallClock();
void StopWallClock();

// Object type of threads, for handles and ObReferenceObjectByHandle.
extern const struct ObjectType kThreadType;

void ResetPool();
void ResetObjects();
void ResetThreads();
void ClearObjectNames();

}  // namespace sim::kernel
