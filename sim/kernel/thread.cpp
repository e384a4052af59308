// Threads of the simulated PC: system threads on real host threads, host threads that
// touch the kernel adopted as simulated threads, boot and shutdown of the machine.
#include <atomic>
#include <cstdio>
#include <thread>

#include "internal.h"
#include "kernel.h"
#include "object.h"
#include "io.h"
#include "pnp.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

std::atomic<ULONG_PTR> gNextThreadId{0x100};
// System threads that have signalled their end but still hold their own reference.
std::atomic<int> gExiting{0};
int gHostThreads = 0;

void DestroyThread(void* body) { ObDestroy<_ETHREAD>(body); }

// Ends the thread's life as a simulated thread when its host thread exits.
// The generation is kept beside the pointer: after a shutdown the object is gone, so the
// pointer must not be followed to learn that it is stale.
struct ThreadSlot {
  PKTHREAD thread = nullptr;
  unsigned generation = 0;
  void Set(PKTHREAD t) {
    thread = t;
    generation = t ? t->generation : 0;
  }
  bool Current() const { return thread && generation == gSched.generation && gSched.booted; }
  ~ThreadSlot() {
    if (!thread) return;
    std::lock_guard<std::mutex> g(gDispatcher);
    if (Current()) {
      thread->Header.SignalState = 1;
      SignalObjectLocked(&thread->Header);
      UnregisterThreadLocked(thread);
    }
  }
};
thread_local ThreadSlot tSlot;

struct TerminateThread {
  NTSTATUS status;
};

PKTHREAD NewThreadObject(const std::string& name, bool system) {
  auto* t = ObNew<_ETHREAD>(&kThreadType);
  t->Header.Type = ThreadObject;
  t->Header.SignalState = 0;
  t->Header.WaitListHead.Flink = t->Header.WaitListHead.Blink = &t->Header.WaitListHead;
  t->name = name;
  t->systemThread = system;
  t->id = gNextThreadId.fetch_add(4);
  return t;
}

void CheckThreadExit(PKTHREAD t) {
  if (t->spinLocksHeld)
    BugCheck(kThreadExitWithLockHeld, t->spinLocksHeld, (ULONG_PTR)t, 0, 0,
             "system thread ended holding a spin lock", (const void*)t->start);
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, CurrentIrql(), (ULONG_PTR)t, 0, 0, "system thread ended above PASSIVE_LEVEL",
             (const void*)t->start);
}

void RunSystemThread(PKTHREAD t, unsigned generation) {
  {
    // A machine shut down before this thread got to run has freed its record.
    std::lock_guard<std::mutex> g(gDispatcher);
    if (generation != gSched.generation || !gSched.booted) return;
    tSlot.thread = t;
    tSlot.generation = generation;
  }
  CurrentIrql() = PASSIVE_LEVEL;
  try {
    t->start(t->startContext);
  } catch (const TerminateThread& term) {
    t->exitStatus = term.status;
  }
  bool current;
  {
    // From here a shutdown waits for this thread; a machine already shut down has freed
    // the thread's record, so nothing of it is touched then.
    std::lock_guard<std::mutex> g(gDispatcher);
    current = tSlot.Current();
    if (current) gExiting++;
  }
  if (!current) {
    tSlot.Set(nullptr);
    return;
  }
  CheckThreadExit(t);
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    tSlot.Set(nullptr);
    t->Header.SignalState = 1;
    SignalObjectLocked(&t->Header);
    UnregisterThreadLocked(t);
  }
  // The running thread's own reference; the shutdown waiting above keeps the object.
  ObDeref(t);
  gExiting--;
}

}  // namespace

const ObjectType kThreadType = {"Thread", DestroyThread};

std::thread StartSimThread(const std::string& name, std::function<void()> fn, KPRIORITY priority) {
  PKTHREAD t = NewThreadObject(name, true);
  t->priority = priority;
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    RegisterThreadLocked(t);
  }
  unsigned generation = t->generation;
  return std::thread([t, generation, fn = std::move(fn)] {
    {
      // A machine shut down before this thread got to run has freed its record; the
      // work belonged to that machine.
      std::lock_guard<std::mutex> g(gDispatcher);
      if (generation != gSched.generation || !gSched.booted) return;
      tSlot.thread = t;
      tSlot.generation = generation;
    }
    fn();
  });
}

PKTHREAD CurrentThread() {
  if (tSlot.Current() && tSlot.thread->registered) return tSlot.thread;
  PKTHREAD t;
  // A host thread (the test's main thread, an application thread) is adopted on first use.
  char name[32];
  snprintf(name, sizeof name, "host-%d", ++gHostThreads);
  t = NewThreadObject(name, false);
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    RegisterThreadLocked(t);
  }
  tSlot.Set(t);
  return t;
}

void SetThreadName(const char* name) { CurrentThread()->name = name; }

void Sleep(ULONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -(LONGLONG)ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Boot(const BootOptions& options) {
  if (gSched.booted) Shutdown();
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    gSched.generation++;
    gSched.booted = true;
    gSched.wallClock = options.wallClock;
    gSched.wallScale = options.wallScale;
    gSched.now = 0;
    // 2026-01-01 00:00:00 UTC as 100 ns units since 1601.
    gSched.systemTimeBase = 134117568000000000ull;
    gSched.registered = 0;
    gSched.blocked = 0;
    gSched.hostBlocked = 0;
    gSched.timers.clear();
    gSched.deadlines.clear();
    gSched.threads.clear();
  }
  gHostThreads = 0;
  tSlot.Set(nullptr);
  SetThreadName("main");
  registry::Reset(options.win98Registry ? registry::Layout::Win98 : registry::Layout::Nt);
  StartDpcThreads(options.dpcThreads);
  if (options.wallClock) StartWallClock();
}

void Shutdown() {
  if (!gSched.booted) return;
  // The PnP and power workers go first: they may still be sending IRPs to drivers. Then
  // the I/O worker finishes what they left it (closes, deferred driver unloads).
  pnp::Shutdown();
  io::WaitWorkerIdle();
  StopWallClock();
  StopDpcThreads();
  std::vector<std::string> running;
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    for (PKTHREAD t : gSched.threads)
      if (t->systemThread) running.push_back(t->name);
    gSched.booted = false;
    gSched.threads.clear();
    gSched.registered = gSched.blocked = 0;
    gSched.timers.clear();
    gSched.deadlines.clear();
    gSched.generation++;
  }
  // No thread can begin its exit bookkeeping once the machine is marked down; those that
  // began it drop their own reference before the objects are reset.
  while (gExiting.load() > 0) std::this_thread::yield();
  for (const std::string& n : running)
    fprintf(stderr, "sim: system thread \"%s\" still running at shutdown\n", n.c_str());
  tSlot.Set(nullptr);
  ClearObjectNames();
  ResetObjects();
  ResetPool();
}

bool IsBooted() { return gSched.booted; }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

POBJECT_TYPE ThreadTypeVar = (POBJECT_TYPE)&kThreadType;
POBJECT_TYPE* PsThreadType = &ThreadTypeVar;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "PsCreateSystemThread above PASSIVE_LEVEL", SIM_CALLER());
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  std::string name = DescribeAddress((const void*)StartRoutine);
  PKTHREAD t = NewThreadObject(name, true);
  t->start = StartRoutine;
  t->startContext = StartContext;
  *ThreadHandle = HandleInsert(t, THREAD_ALL_ACCESS, false);
  if (ClientId) {
    ClientId->UniqueProcess = (HANDLE)4;
    ClientId->UniqueThread = (HANDLE)t->id;
  }
  {
    // Counted as running before the host thread starts, so the clock cannot jump past
    // work the new thread is about to do.
    std::lock_guard<std::mutex> g(gDispatcher);
    RegisterThreadLocked(t);
  }
  // The object's creation reference becomes the running thread's own reference.
  std::thread(RunSystemThread, t, t->generation).detach();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD t = CurrentThread();
  if (!t->systemThread)
    BugCheck(kDriverVerifierDetectedViolation, 0x1040, 0, 0, 0, "PsTerminateSystemThread from a non-system thread",
             SIM_CALLER());
  throw TerminateThread{ExitStatus};
}

PETHREAD NTAPI PsGetCurrentThread(void) { return static_cast<PETHREAD>(CurrentThread()); }
PKTHREAD NTAPI KeGetCurrentThread(void) { return CurrentThread(); }
HANDLE NTAPI PsGetCurrentThreadId(void) { return (HANDLE)CurrentThread()->id; }
HANDLE NTAPI PsGetCurrentProcessId(void) { return (HANDLE)4; }

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "KeSetPriorityThread above DISPATCH_LEVEL", SIM_CALLER());
  if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY)
    BugCheck(kDriverVerifierDetectedViolation, 0x1041, (ULONG_PTR)Priority, 0, 0,
             "KeSetPriorityThread with a priority outside 1..31", SIM_CALLER());
  KPRIORITY old = Thread->priority;
  Thread->priority = Priority;
  return old;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  std::lock_guard<std::mutex> g(gDispatcher);
  CurrentTime->QuadPart = (LONGLONG)(gSched.systemTimeBase + gSched.now);
}

// The clock interrupt of the simulated PC ticks every 15.625 ms.
static const ULONG kTimeIncrement = 156250;

void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  std::lock_guard<std::mutex> g(gDispatcher);
  TickCount->QuadPart = (LONGLONG)(gSched.now / kTimeIncrement);
}

ULONG NTAPI KeQueryTimeIncrement(void) { return kTimeIncrement; }

ULONGLONG NTAPI KeQueryInterruptTime(void) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return gSched.now;
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER v;
  v.QuadPart = (LONGLONG)KeQueryInterruptTime();
  return v;
}

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion) {
  if (MajorVersion) *MajorVersion = 5;
  if (MinorVersion) *MinorVersion = 1;
  if (BuildNumber) *BuildNumber = 2600;
  return FALSE;
}

}  // extern "C"
