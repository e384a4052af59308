// Timers and DPCs: one-shot and periodic timers on the virtual clock, DPC queues run
// at DISPATCH_LEVEL by the machine's DPC threads, and the wall-clock mode.
#include <chrono>
#include <deque>
#include <thread>

#include "internal.h"
#include "kernel.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

struct DpcQueue {
  std::deque<PKDPC> queue;
  KEVENT wake;
  KEVENT idle;  // signalled while nothing is queued or running
  bool stop = false;
  int running = 0;
  std::vector<std::thread> threads;
};
DpcQueue* gDpc = nullptr;

ULONG_PTR kQueuedMarker = 1;

void DpcThreadMain(int index) {
  for (;;) {
    PVOID objects[1] = {&gDpc->wake};
    WaitObjects(1, objects, WaitAny, nullptr, nullptr, "waits for DPCs");
    for (;;) {
      PKDPC dpc;
      PVOID a1, a2;
      {
        std::lock_guard<std::mutex> g(gDispatcher);
        if (gDpc->stop) {
          gDpc->wake.Header.SignalState = 1;  // let the other DPC threads see it too
          SignalObjectLocked(&gDpc->wake.Header);
          return;
        }
        if (gDpc->queue.empty()) {
          if (gDpc->running == 0) {
            gDpc->idle.Header.SignalState = 1;
            SignalObjectLocked(&gDpc->idle.Header);
          }
          break;
        }
        dpc = gDpc->queue.front();
        gDpc->queue.pop_front();
        dpc->DpcData = nullptr;
        a1 = dpc->SystemArgument1;
        a2 = dpc->SystemArgument2;
        gDpc->running++;
      }
      PKTHREAD self = CurrentThread();
      CurrentIrql() = DISPATCH_LEVEL;
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
      if (CurrentIrql() != DISPATCH_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)dpc, CurrentIrql(), 0, 0, "DPC routine returned at another IRQL",
                 (const void*)dpc->DeferredRoutine);
      if (self->spinLocksHeld)
        BugCheck(kDriverVerifierDetectedViolation, 0x1050, (ULONG_PTR)dpc, self->spinLocksHeld, 0,
                 "DPC routine returned holding a spin lock", (const void*)dpc->DeferredRoutine);
      CurrentIrql() = PASSIVE_LEVEL;
      std::lock_guard<std::mutex> g(gDispatcher);
      gDpc->running--;
    }
  }
}

std::thread gWallThread;
std::atomic<bool> gWallStop{false};

void WallClockMain() {
  auto start = std::chrono::steady_clock::now();
  ULONGLONG base;
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    base = gSched.now;
  }
  while (!gWallStop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> g(gDispatcher);
    ULONGLONG target = base + (ULONGLONG)(elapsed * gSched.wallScale * 1e7);
    if (target > gSched.now) gSched.now = target;
    ExpireDueLocked();
  }
}

}  // namespace

const void* PendingDeferredWorkIn(const std::string& image) {
  std::lock_guard<std::mutex> g(gDispatcher);
  for (const auto& [due, timer] : gSched.timers)
    if (timer->Dpc && ImageNameOf((const void*)timer->Dpc->DeferredRoutine) == image)
      return (const void*)timer->Dpc->DeferredRoutine;
  if (gDpc)
    for (PKDPC dpc : gDpc->queue)
      if (ImageNameOf((const void*)dpc->DeferredRoutine) == image) return (const void*)dpc->DeferredRoutine;
  return nullptr;
}

BOOLEAN QueueDpc(PRKDPC dpc, PVOID a1, PVOID a2) {
  // Called with gDispatcher held (from the timer code) or not (KeInsertQueueDpc).
  if (!gDpc || dpc->DpcData) return FALSE;
  dpc->DpcData = &kQueuedMarker;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  if (dpc->Importance == HighImportance)
    gDpc->queue.push_front(dpc);
  else
    gDpc->queue.push_back(dpc);
  gDpc->idle.Header.SignalState = 0;
  gDpc->wake.Header.SignalState = 1;
  SignalObjectLocked(&gDpc->wake.Header);
  return TRUE;
}

void StartDpcThreads(int count) {
  gDpc = new DpcQueue;
  KeInitializeEvent(&gDpc->wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&gDpc->idle, NotificationEvent, TRUE);
  NameObject(&gDpc->wake, "DPC queue");
  NameObject(&gDpc->idle, "DPC queue idle");
  for (int i = 0; i < count; i++) {
    char name[32];
    snprintf(name, sizeof name, "DPC%d", i);
    gDpc->threads.push_back(StartSimThread(name, [i] { DpcThreadMain(i); }, HIGH_PRIORITY));
  }
}

void StopDpcThreads() {
  if (!gDpc) return;
  {
    std::lock_guard<std::mutex> g(gDispatcher);
    gDpc->stop = true;
    gDpc->wake.Header.SignalState = 1;
    SignalObjectLocked(&gDpc->wake.Header);
  }
  HostBlocking([] {
    for (auto& t : gDpc->threads) t.join();
  });
  delete gDpc;
  gDpc = nullptr;
}

void StartWallClock() {
  gWallStop = false;
  gWallThread = std::thread(WallClockMain);
}

void StopWallClock() {
  if (!gWallThread.joinable()) return;
  gWallStop = true;
  gWallThread.join();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return QueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> g(gDispatcher);
  if (!gDpc || !Dpc->DpcData) return FALSE;
  for (auto it = gDpc->queue.begin(); it != gDpc->queue.end(); ++it) {
    if (*it == Dpc) {
      gDpc->queue.erase(it);
      Dpc->DpcData = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

void NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }

void NTAPI KeFlushQueuedDpcs(void) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "KeFlushQueuedDpcs above PASSIVE_LEVEL", SIM_CALLER());
  if (!gDpc) return;
  PVOID objects[1] = {&gDpc->idle};
  WaitObjects(1, objects, WaitAny, nullptr, SIM_CALLER(), "waits for queued DPCs to finish");
}

void NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 0;
  Timer->Header.WaitListHead.Flink = Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Timer, CurrentIrql(), 0, 0, "KeSetTimer above DISPATCH_LEVEL",
             SIM_CALLER());
  if (!Timer->Header.WaitListHead.Flink)
    BugCheck(kDriverVerifierDetectedViolation, 0x1051, (ULONG_PTR)Timer, 0, 0, "timer set before it was initialised",
             SIM_CALLER());
  std::lock_guard<std::mutex> g(gDispatcher);
  BOOLEAN wasSet = Timer->Header.Inserted;
  if (wasSet) gSched.timers.erase({Timer->DueTime.QuadPart, Timer});
  ULONGLONG due;
  if (DueTime.QuadPart < 0)
    due = gSched.now + (ULONGLONG)(-DueTime.QuadPart);
  else
    due = (ULONGLONG)DueTime.QuadPart > gSched.systemTimeBase ? (ULONGLONG)DueTime.QuadPart - gSched.systemTimeBase
                                                              : gSched.now;
  if (due < gSched.now) due = gSched.now;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 1;
  Timer->DueTime.QuadPart = due;
  Timer->Period = Period;
  Timer->Dpc = Dpc;
  gSched.timers.insert({due, Timer});
  if (due <= gSched.now) ExpireDueLocked();
  return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Timer, CurrentIrql(), 0, 0, "KeCancelTimer above DISPATCH_LEVEL",
             SIM_CALLER());
  std::lock_guard<std::mutex> g(gDispatcher);
  if (!Timer->Header.Inserted) return FALSE;
  gSched.timers.erase({Timer->DueTime.QuadPart, Timer});
  Timer->Header.Inserted = 0;
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return Timer->Header.SignalState != 0;
}

}  // extern "C"
