// Kernel core interface: IRQL, spin locks, dispatcher objects, DPCs, timers, waits,
// interlocked operations, time, and bugchecks.
#pragma once

#include "nt/types.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define PROFILE_LEVEL 27
#define CLOCK_LEVEL 28
#define IPI_LEVEL 29
#define POWER_LEVEL 30
#define HIGH_LEVEL 31

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef struct _KLOCK_QUEUE_HANDLE {
  struct {
    PVOID Next;
    PKSPIN_LOCK Lock;
  } LockQueue;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
typedef enum _KOBJECTS {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KTHREAD* PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _KPROCESS* PKPROCESS;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KDPC* PKDPC, *PRKDPC;
typedef void KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
} KDPC;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PVOID Thread;
  PVOID Object;
  USHORT WaitKey;
  USHORT WaitType;
} KWAIT_BLOCK, *PKWAIT_BLOCK;
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  WrFreePage,
  WrPageIn,
  WrPoolAllocation,
  WrDelayExecution,
  WrSuspended,
  WrUserRequest,
  WrEventPair,
  WrQueue,
  MaximumWaitReason = 37
} KWAIT_REASON;

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1

NT_EXTERN_C_BEGIN

// IRQL
KIRQL NTAPI KeGetCurrentIrql(void);
void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);

// Spin locks
void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
void NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock);

// Events, semaphores, mutexes
void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
void NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);
void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

// DPCs and timers
void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
void NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
void NTAPI KeFlushQueuedDpcs(void);
void NTAPI KeInitializeTimer(PKTIMER Timer);
void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// Threads
PKTHREAD NTAPI KeGetCurrentThread(void);
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);
void NTAPI KeEnterCriticalRegion(void);
void NTAPI KeLeaveCriticalRegion(void);
ULONG NTAPI KeGetCurrentProcessorNumber(void);

// Time: system time and interrupt time in 100 ns units, tick count.
void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG NTAPI KeQueryTimeIncrement(void);
ULONGLONG NTAPI KeQueryInterruptTime(void);
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// Interlocked operations
LONG NTAPI InterlockedIncrement(LONG volatile* Addend);
LONG NTAPI InterlockedDecrement(LONG volatile* Addend);
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
LONG NTAPI InterlockedOr(LONG volatile* Destination, LONG Value);
LONG NTAPI InterlockedAnd(LONG volatile* Destination, LONG Value);
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand);
PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);

// Bugcheck and debug output
__attribute__((noreturn)) void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                                  ULONG_PTR P4);
__attribute__((noreturn)) void NTAPI KeBugCheck(ULONG BugCheckCode);
ULONG __cdecl DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) __attribute__((format(printf, 3, 4)));
void NTAPI DbgBreakPoint(void);

NT_EXTERN_C_END

#define KeMemoryBarrier() __sync_synchronize()
#define ASSERT(e) ((void)0)
#define NT_ASSERT(e) ((void)0)
#define KdPrint(x) DbgPrint x
#define PAGED_CODE() ((void)0)
