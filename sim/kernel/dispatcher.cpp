// Dispatcher objects and waits: events, semaphores, mutexes, thread objects and timers
// as wait targets, with relative and absolute timeouts in virtual time.
#include "internal.h"
#include "kernel.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

void InitHeader(PDISPATCHER_HEADER h, UCHAR type, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = 0;
  h->Inserted = 0;
  h->SignalState = state;
  h->WaitListHead.Flink = h->WaitListHead.Blink = &h->WaitListHead;
}

bool IsSignalledFor(PDISPATCHER_HEADER h, PKTHREAD t) {
  if (h->Type == MutantObject) {
    auto* m = reinterpret_cast<PKMUTEX>(h);
    return h->SignalState > 0 || m->OwnerThread == t;
  }
  return h->SignalState > 0;
}

// Takes what a satisfied wait consumes from the object.
void Consume(PDISPATCHER_HEADER h, PKTHREAD t) {
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case SemaphoreObject:
      h->SignalState--;
      break;
    case MutantObject: {
      auto* m = reinterpret_cast<PKMUTEX>(h);
      h->SignalState--;
      m->OwnerThread = t;
      if (m->ApcDisable) t->criticalRegion++;
      break;
    }
    default:
      break;
  }
}

// Returns the wait status when the wait can be satisfied now (consuming), or STATUS_PENDING.
NTSTATUS TrySatisfy(WaitState* w, PKTHREAD t) {
  if (w->type == WaitAny) {
    for (ULONG i = 0; i < w->count; i++) {
      auto* h = static_cast<PDISPATCHER_HEADER>(w->objects[i]);
      if (IsSignalledFor(h, t)) {
        Consume(h, t);
        return STATUS_WAIT_0 + i;
      }
    }
    return STATUS_PENDING;
  }
  for (ULONG i = 0; i < w->count; i++)
    if (!IsSignalledFor(static_cast<PDISPATCHER_HEADER>(w->objects[i]), t)) return STATUS_PENDING;
  for (ULONG i = 0; i < w->count; i++) Consume(static_cast<PDISPATCHER_HEADER>(w->objects[i]), t);
  return STATUS_WAIT_0;
}

void UnlinkBlocks(WaitState* w) {
  for (ULONG i = 0; i < w->count; i++) {
    PLIST_ENTRY e = &w->blocks[i].WaitListEntry;
    if (e->Flink) {
      e->Blink->Flink = e->Flink;
      e->Flink->Blink = e->Blink;
      e->Flink = e->Blink = nullptr;
    }
  }
}

void CheckHeader(PVOID object, const void* site) {
  auto* h = static_cast<PDISPATCHER_HEADER>(object);
  if (!h || !h->WaitListHead.Flink)
    BugCheck(kDriverVerifierDetectedViolation, 0x1010, (ULONG_PTR)object, 0, 0,
             "wait on an object that was never initialised", site);
}

ULONGLONG DeadlineFrom(PLARGE_INTEGER timeout) {
  if (timeout->QuadPart < 0) return gSched.now + (ULONGLONG)(-timeout->QuadPart);
  ULONGLONG abs = (ULONGLONG)timeout->QuadPart;
  return abs <= gSched.systemTimeBase ? 0 : abs - gSched.systemTimeBase;
}

}  // namespace

void SignalObjectLocked(PDISPATCHER_HEADER h) {
  PLIST_ENTRY e = h->WaitListHead.Flink;
  while (e != &h->WaitListHead && h->SignalState > 0) {
    PLIST_ENTRY next = e->Flink;
    auto* block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
    auto* t = static_cast<PKTHREAD>(block->Thread);
    WaitState* w = t->wait;
    if (w && w->result == STATUS_PENDING) {
      NTSTATUS st = TrySatisfy(w, t);
      if (st != STATUS_PENDING) {
        UnlinkBlocks(w);
        w->result = st;
        MarkRunnableLocked(t);
        next = h->WaitListHead.Flink;  // the list changed under us; rescan from the start
      }
    }
    e = next;
  }
}

// Waits on behalf of the calling thread; the core of every blocking call of the kernel.
NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const void* site,
                     const char* what) {
  PKTHREAD t = CurrentThread();
  KIRQL irql = CurrentIrql();
  bool zeroTimeout = timeout && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql > APC_LEVEL && !zeroTimeout))
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)objects[0], irql, 0, 0,
             "wait with a non-zero timeout above APC_LEVEL", site);
  if (count > MAXIMUM_WAIT_OBJECTS)
    BugCheck(kDriverVerifierDetectedViolation, 0x1011, count, 0, 0, "too many wait objects", site);
  for (ULONG i = 0; i < count; i++) CheckHeader(objects[i], site);

  KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
  WaitState w;
  w.count = count;
  w.objects = objects;
  w.blocks = blocks;
  w.type = type;
  w.site = site;
  w.what = what;

  std::unique_lock<std::mutex> lock(gDispatcher);
  NTSTATUS st = TrySatisfy(&w, t);
  if (st != STATUS_PENDING) return st;
  if (zeroTimeout) return STATUS_TIMEOUT;
  if (timeout) {
    w.hasDeadline = true;
    w.deadline = DeadlineFrom(timeout);
    if (w.deadline <= gSched.now) return STATUS_TIMEOUT;
  }
  for (ULONG i = 0; i < count; i++) {
    auto* h = static_cast<PDISPATCHER_HEADER>(objects[i]);
    blocks[i].Thread = t;
    blocks[i].Object = objects[i];
    blocks[i].WaitKey = (USHORT)i;
    blocks[i].WaitType = (USHORT)type;
    PLIST_ENTRY e = &blocks[i].WaitListEntry;
    e->Flink = &h->WaitListHead;
    e->Blink = h->WaitListHead.Blink;
    h->WaitListHead.Blink->Flink = e;
    h->WaitListHead.Blink = e;
  }
  t->wait = &w;
  BlockLocked(lock, t);
  UnlinkBlocks(&w);
  t->wait = nullptr;
  return w.result;
}

// Timed-out waits and timers due at the current time.
void ExpireDueLocked() {
  while (!gSched.deadlines.empty() && gSched.deadlines.begin()->first <= gSched.now) {
    PKTHREAD t = gSched.deadlines.begin()->second;
    gSched.deadlines.erase(gSched.deadlines.begin());
    if (t->wait && t->wait->result == STATUS_PENDING) {
      UnlinkBlocks(t->wait);
      t->wait->result = STATUS_TIMEOUT;
      t->wait->hasDeadline = false;
      MarkRunnableLocked(t);
    }
  }
  while (!gSched.timers.empty() && gSched.timers.begin()->first <= gSched.now) {
    auto [due, timer] = *gSched.timers.begin();
    gSched.timers.erase(gSched.timers.begin());
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    SignalObjectLocked(&timer->Header);
    if (timer->Period > 0) {
      ULONGLONG next = due + (ULONGLONG)timer->Period * 10000ull;
      timer->DueTime.QuadPart = next;
      timer->Header.Inserted = 1;
      gSched.timers.insert({next, timer});
    }
    if (timer->Dpc) {
      ULONGLONG sys = gSched.systemTimeBase + gSched.now;
      QueueDpc(timer->Dpc, (PVOID)(ULONG_PTR)(ULONG)sys, (PVOID)(ULONG_PTR)(ULONG)(sys >> 32));
    }
  }
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitHeader(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
             State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Event, KeGetCurrentIrql(), 0, 0, "KeSetEvent above DISPATCH_LEVEL",
             SIM_CALLER());
  std::lock_guard<std::mutex> g(gDispatcher);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  SignalObjectLocked(&Event->Header);
  return old;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> g(gDispatcher);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return old;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> g(gDispatcher);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return Event->Header.SignalState;
}

LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  std::lock_guard<std::mutex> g(gDispatcher);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  SignalObjectLocked(&Event->Header);
  Event->Header.SignalState = 0;
  return old;
}

void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  InitHeader(&Semaphore->Header, SemaphoreObject, Count);
  Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Semaphore, KeGetCurrentIrql(), 0, 0,
             "KeReleaseSemaphore above DISPATCH_LEVEL", SIM_CALLER());
  std::lock_guard<std::mutex> g(gDispatcher);
  LONG old = Semaphore->Header.SignalState;
  // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED as an exception; a driver that does
  // this has a counting fault, so the machine stops with a readable report.
  if (Adjustment <= 0 || (LONGLONG)old + Adjustment > Semaphore->Limit)
    BugCheck(kDriverVerifierDetectedViolation, 0x1020, (ULONG_PTR)Semaphore, (ULONG_PTR)old, (ULONG_PTR)Adjustment,
             "semaphore released above its limit (STATUS_SEMAPHORE_LIMIT_EXCEEDED)", SIM_CALLER());
  Semaphore->Header.SignalState = old + Adjustment;
  SignalObjectLocked(&Semaphore->Header);
  return old;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return Semaphore->Header.SignalState;
}

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  InitHeader(&Mutex->Header, MutantObject, 1);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  PKTHREAD t = CurrentThread();
  std::lock_guard<std::mutex> g(gDispatcher);
  if (Mutex->OwnerThread != t)
    BugCheck(kDriverVerifierDetectedViolation, 0x1021, (ULONG_PTR)Mutex, (ULONG_PTR)Mutex->OwnerThread, (ULONG_PTR)t,
             "mutex released by a thread that does not own it (STATUS_MUTANT_NOT_OWNED)", SIM_CALLER());
  LONG old = Mutex->Header.SignalState;
  Mutex->Header.SignalState++;
  if (Mutex->ApcDisable) t->criticalRegion--;
  if (Mutex->Header.SignalState > 0) {
    Mutex->OwnerThread = nullptr;
    SignalObjectLocked(&Mutex->Header);
  }
  return old;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard<std::mutex> g(gDispatcher);
  return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return WaitObjects(1, objects, WaitAny, Timeout, SIM_CALLER());
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
    BugCheck(kDriverVerifierDetectedViolation, 0x1012, Count, 0, 0,
             "more than THREAD_WAIT_OBJECTS objects without a wait block array", SIM_CALLER());
  return WaitObjects(Count, Object, WaitType, Timeout, SIM_CALLER());
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  if (!Interval)
    BugCheck(kDriverVerifierDetectedViolation, 0x1013, 0, 0, 0, "KeDelayExecutionThread without an interval",
             SIM_CALLER());
  if (CurrentIrql() > APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "KeDelayExecutionThread above APC_LEVEL", SIM_CALLER());
  // A private never-signalled event gives the wait its deadline.
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  PVOID objects[1] = {&never};
  NTSTATUS st = WaitObjects(1, objects, WaitAny, Interval, SIM_CALLER(), "delays");
  return st == STATUS_TIMEOUT ? STATUS_SUCCESS : st;
}

void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  // A busy wait on Windows: time passes for this thread without giving up the processor.
  // Here the clock is shared, so the stall moves it when nothing else runs, like a delay,
  // but is allowed at any IRQL.
  KIRQL saved = CurrentIrql();
  CurrentIrql() = PASSIVE_LEVEL;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  PVOID objects[1] = {&never};
  LARGE_INTEGER interval;
  interval.QuadPart = -(LONGLONG)MicroSeconds * 10;
  if (MicroSeconds) WaitObjects(1, objects, WaitAny, &interval, SIM_CALLER(), "stalls");
  CurrentIrql() = saved;
}

}  // extern "C"
