// Executive interface: pool allocation with tags, fast mutexes, work items of the executive.
#pragma once

#include "nt/ke.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  NonPagedPoolNx = 512,
} POOL_TYPE;

typedef struct _FAST_MUTEX {
  LONG Count;
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

NT_EXTERN_C_BEGIN

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
void NTAPI ExFreePool(PVOID P);

void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
void NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
void NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
void NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

NT_EXTERN_C_END
