// Dispatcher objects and spin locks of the driver class library: events, semaphores and
// mutexes held in the wrapper or adopted from elsewhere, and a spin lock that remembers
// how it was taken.
#pragma once

#include "wdm_base.h"

// Shared by the three dispatcher wrappers: the object in use (the embedded one, or an
// adopted one) and what has to be given back for an adopted one.
template <class T>
class WdmDispatcherObject {
 public:
  T* Object;
  HANDLE Handle;  // closed by ReleaseObject when not null
  BOOLEAN Referenced;  // dereferenced by ReleaseObject when set

  WdmDispatcherObject() : Object(&Own), Handle(NULL), Referenced(FALSE) {}
  ~WdmDispatcherObject() { ReleaseObject(); }
  WdmDispatcherObject(const WdmDispatcherObject&) = delete;
  WdmDispatcherObject& operator=(const WdmDispatcherObject&) = delete;

  // Uses `object` from now on. With `referenced` the wrapper owns one reference to it,
  // with `handle` one handle; both are given back by ReleaseObject. A previously
  // adopted object is released first.
  void Adopt(T* object, HANDLE handle = NULL, BOOLEAN referenced = FALSE) {
    ReleaseObject();
    Object = object;
    Handle = handle;
    Referenced = referenced;
  }
  // Gives back what an adopted object holds and returns to the embedded object.
  void ReleaseObject() {
    T* object = Object;
    HANDLE handle = Handle;
    BOOLEAN referenced = Referenced;
    Object = &Own;
    Handle = NULL;
    Referenced = FALSE;
    if (referenced) ObDereferenceObject(object);
    if (handle) ZwClose(handle);
  }
  // KeWaitForSingleObject in kernel mode, not alertable; `timeout` null waits for ever.
  NTSTATUS Wait(PLARGE_INTEGER timeout = NULL) {
    return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, timeout);
  }
  T* Get() const { return Object; }

 protected:
  T Own;
};

class WdmEvent : public WdmDispatcherObject<KEVENT> {
 public:
  WdmEvent() { KeInitializeEvent(&Own, NotificationEvent, FALSE); }
  void Initialize(EVENT_TYPE type, BOOLEAN signalled);
  LONG Set(KPRIORITY increment = IO_NO_INCREMENT);
  void Clear();
  LONG ReadState();
};

class WdmSemaphore : public WdmDispatcherObject<KSEMAPHORE> {
 public:
  WdmSemaphore() { KeInitializeSemaphore(&Own, 0, MAXLONG); }
  void Initialize(LONG count, LONG limit);
  // KeReleaseSemaphore by `count`; returns the previous count.
  LONG Release(LONG count = 1, KPRIORITY increment = SEMAPHORE_INCREMENT);
  LONG ReadState();
};

class WdmMutex : public WdmDispatcherObject<KMUTEX> {
 public:
  WdmMutex() { KeInitializeMutex(&Own, 0); }
  void Initialize(ULONG level);
  LONG Release();
};

// A spin lock (its own, or one that lives elsewhere) with the IRQL to return to.
class WdmSpinLock {
 public:
  PKSPIN_LOCK Lock;
  KIRQL SavedIrql;  // WdmSpinLock::kAtDpcLevel after AcquireAtDpcLevel

  static constexpr KIRQL kAtDpcLevel = DISPATCH_LEVEL;

  WdmSpinLock();
  explicit WdmSpinLock(PKSPIN_LOCK lock);
  WdmSpinLock(const WdmSpinLock&) = delete;
  WdmSpinLock& operator=(const WdmSpinLock&) = delete;

  // Initialises the embedded lock and uses it.
  void Initialize();
  // Uses a lock that lives elsewhere (already initialised).
  void Attach(PKSPIN_LOCK lock) { Lock = lock; }
  // Raises to DISPATCH_LEVEL; returns the IRQL it came from.
  KIRQL Acquire();
  // For callers already at DISPATCH_LEVEL.
  void AcquireAtDpcLevel();
  // Back to the IRQL saved by the matching Acquire.
  void Release();

 private:
  KSPIN_LOCK Own;
};
