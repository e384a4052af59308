// Events, semaphores, mutexes and spin locks of the driver class library.
#include "wdm_sync.h"

void WdmEvent::Initialize(EVENT_TYPE type, BOOLEAN signalled) {
  ReleaseObject();
  KeInitializeEvent(Object, type, signalled);
}

LONG WdmEvent::Set(KPRIORITY increment) { return KeSetEvent(Object, increment, FALSE); }

void WdmEvent::Clear() { KeClearEvent(Object); }

LONG WdmEvent::ReadState() { return KeReadStateEvent(Object); }

void WdmSemaphore::Initialize(LONG count, LONG limit) {
  ReleaseObject();
  KeInitializeSemaphore(Object, count, limit);
}

LONG WdmSemaphore::Release(LONG count, KPRIORITY increment) {
  return KeReleaseSemaphore(Object, increment, count, FALSE);
}

LONG WdmSemaphore::ReadState() { return KeReadStateSemaphore(Object); }

void WdmMutex::Initialize(ULONG level) {
  ReleaseObject();
  KeInitializeMutex(Object, level);
}

LONG WdmMutex::Release() { return KeReleaseMutex(Object, FALSE); }

WdmSpinLock::WdmSpinLock() : Lock(&Own), SavedIrql(PASSIVE_LEVEL) { KeInitializeSpinLock(&Own); }

WdmSpinLock::WdmSpinLock(PKSPIN_LOCK lock) : Lock(lock), SavedIrql(PASSIVE_LEVEL) { KeInitializeSpinLock(&Own); }

void WdmSpinLock::Initialize() {
  KeInitializeSpinLock(&Own);
  Lock = &Own;
}

KIRQL WdmSpinLock::Acquire() {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  SavedIrql = old;
  return old;
}

void WdmSpinLock::AcquireAtDpcLevel() {
  KeAcquireSpinLockAtDpcLevel(Lock);
  SavedIrql = kAtDpcLevel;
}

void WdmSpinLock::Release() {
  // Read before the lock goes: the next holder writes its own IRQL here.
  KIRQL saved = SavedIrql;
  if (saved == kAtDpcLevel) {
    KeReleaseSpinLockFromDpcLevel(Lock);
  } else {
    KeReleaseSpinLock(Lock, saved);
  }
}
