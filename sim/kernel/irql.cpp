// IRQL per thread with the raise and lower rules, spin locks that raise to
// DISPATCH_LEVEL, interlocked operations and fast mutexes at APC_LEVEL.
#include <sched.h>

#include "internal.h"
#include "nt/rtl.h"
#include "kernel.h"
#include "verifier.h"

namespace sim::kernel {

KIRQL& CurrentIrql() {
  static thread_local KIRQL irql = PASSIVE_LEVEL;
  return irql;
}

namespace {

void Acquire(PKSPIN_LOCK lock, PKTHREAD t, const void* site) {
  ULONG_PTR self = reinterpret_cast<ULONG_PTR>(t);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self)
    BugCheck(kSpinLockAlreadyOwned, (ULONG_PTR)lock, 0, 0, 0, "spin lock acquired twice by the same thread", site);
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    sched_yield();
  }
  t->spinLocksHeld++;
}

void Release(PKSPIN_LOCK lock, PKTHREAD t, const void* site) {
  ULONG_PTR self = reinterpret_cast<ULONG_PTR>(t);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != self)
    BugCheck(kSpinLockNotOwned, (ULONG_PTR)lock, __atomic_load_n(lock, __ATOMIC_RELAXED), 0, 0,
             "spin lock released that this thread does not hold", site);
  t->spinLocksHeld--;
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace
}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentIrql(); }

void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL cur = CurrentIrql();
  if (NewIrql < cur)
    BugCheck(kIrqlNotGreaterOrEqual, cur, NewIrql, 0, 0, "KeRaiseIrql to a lower IRQL", SIM_CALLER());
  *OldIrql = cur;
  CurrentIrql() = NewIrql;
}

void NTAPI KeLowerIrql(KIRQL NewIrql) {
  KIRQL cur = CurrentIrql();
  if (NewIrql > cur)
    BugCheck(kIrqlNotLessOrEqual, cur, NewIrql, 0, 0, "KeLowerIrql to a higher IRQL", SIM_CALLER());
  CurrentIrql() = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KIRQL cur = CurrentIrql();
  if (cur > DISPATCH_LEVEL)
    BugCheck(kIrqlNotGreaterOrEqual, cur, DISPATCH_LEVEL, 0, 0, "KeRaiseIrqlToDpcLevel above DISPATCH_LEVEL",
             SIM_CALLER());
  old = cur;
  CurrentIrql() = DISPATCH_LEVEL;
  return old;
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  KIRQL cur = CurrentIrql();
  if (cur > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)SpinLock, cur, 0, 0, "KeAcquireSpinLock above DISPATCH_LEVEL",
             SIM_CALLER());
  CurrentIrql() = DISPATCH_LEVEL;
  Acquire(SpinLock, CurrentThread(), SIM_CALLER());
  *OldIrql = cur;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL cur = CurrentIrql();
  if (cur > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)SpinLock, cur, 0, 0, "KeAcquireSpinLock above DISPATCH_LEVEL",
             SIM_CALLER());
  CurrentIrql() = DISPATCH_LEVEL;
  Acquire(SpinLock, CurrentThread(), SIM_CALLER());
  return cur;
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (CurrentIrql() != DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)SpinLock, CurrentIrql(), 0, 0,
             "KeReleaseSpinLock not at DISPATCH_LEVEL", SIM_CALLER());
  if (NewIrql > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)SpinLock, NewIrql, 0, 0, "KeReleaseSpinLock to an IRQL above DISPATCH",
             SIM_CALLER());
  Release(SpinLock, CurrentThread(), SIM_CALLER());
  CurrentIrql() = NewIrql;
}

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() < DISPATCH_LEVEL)
    BugCheck(kIrqlNotGreaterOrEqual, (ULONG_PTR)SpinLock, CurrentIrql(), 0, 0,
             "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL", SIM_CALLER());
  Acquire(SpinLock, CurrentThread(), SIM_CALLER());
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() < DISPATCH_LEVEL)
    BugCheck(kIrqlNotGreaterOrEqual, (ULONG_PTR)SpinLock, CurrentIrql(), 0, 0,
             "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL", SIM_CALLER());
  Release(SpinLock, CurrentThread(), SIM_CALLER());
}

void NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  KIRQL cur = CurrentIrql();
  if (cur > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)SpinLock, cur, 0, 0,
             "KeAcquireInStackQueuedSpinLock above DISPATCH_LEVEL", SIM_CALLER());
  CurrentIrql() = DISPATCH_LEVEL;
  Acquire(SpinLock, CurrentThread(), SIM_CALLER());
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->OldIrql = cur;
}

void NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

LONG NTAPI InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG NTAPI InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
LONG NTAPI InterlockedOr(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedAnd(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}

// The interlocked list calls are the Rtl list operations under the caller's spin lock;
// each reports what was at that end of the list before (null when it was empty).
PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return first;
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return last;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock, old);
  return first;
}

void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

static void FastMutexAcquire(PFAST_MUTEX m, const void* site) {
  PKTHREAD t = CurrentThread();
  if (m->Owner == t)
    BugCheck(kDriverVerifierDetectedViolation, 0x1030, (ULONG_PTR)m, 0, 0, "fast mutex acquired recursively", site);
  if (InterlockedDecrement(&m->Count) != 0) {
    m->Contention++;
    PVOID objects[1] = {&m->Event};
    WaitObjects(1, objects, WaitAny, nullptr, site, nullptr);
  }
  m->Owner = t;
}

void NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL cur = CurrentIrql();
  if (cur > APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)FastMutex, cur, 0, 0, "ExAcquireFastMutex above APC_LEVEL",
             SIM_CALLER());
  FastMutexAcquire(FastMutex, SIM_CALLER());
  CurrentIrql() = APC_LEVEL;
  FastMutex->OldIrql = cur;
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL cur = CurrentIrql();
  if (cur > APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)FastMutex, cur, 0, 0, "ExTryToAcquireFastMutex above APC_LEVEL",
             SIM_CALLER());
  if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) return FALSE;
  FastMutex->Owner = CurrentThread();
  CurrentIrql() = APC_LEVEL;
  FastMutex->OldIrql = cur;
  return TRUE;
}

void NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  if (FastMutex->Owner != CurrentThread())
    BugCheck(kDriverVerifierDetectedViolation, 0x1031, (ULONG_PTR)FastMutex, 0, 0,
             "fast mutex released by a thread that does not own it", SIM_CALLER());
  if (CurrentIrql() != APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)FastMutex, CurrentIrql(), 0, 0, "ExReleaseFastMutex not at APC_LEVEL",
             SIM_CALLER());
  KIRQL old = (KIRQL)FastMutex->OldIrql;
  FastMutex->Owner = nullptr;
  if (InterlockedIncrement(&FastMutex->Count) <= 0) KeSetEvent(&FastMutex->Event, 0, FALSE);
  CurrentIrql() = old;
}

void NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  if (CurrentIrql() > APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)FastMutex, CurrentIrql(), 0, 0,
             "ExAcquireFastMutexUnsafe above APC_LEVEL", SIM_CALLER());
  FastMutexAcquire(FastMutex, SIM_CALLER());
}

void NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  if (FastMutex->Owner != CurrentThread())
    BugCheck(kDriverVerifierDetectedViolation, 0x1031, (ULONG_PTR)FastMutex, 0, 0,
             "fast mutex released by a thread that does not own it", SIM_CALLER());
  FastMutex->Owner = nullptr;
  if (InterlockedIncrement(&FastMutex->Count) <= 0) KeSetEvent(&FastMutex->Event, 0, FALSE);
}

void NTAPI KeEnterCriticalRegion(void) { CurrentThread()->criticalRegion++; }
void NTAPI KeLeaveCriticalRegion(void) { CurrentThread()->criticalRegion--; }
ULONG NTAPI KeGetCurrentProcessorNumber(void) { return 0; }

}  // extern "C"
