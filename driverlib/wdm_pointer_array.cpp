// Growable pointer array: capacity grows by whole steps to cover the index written.
#include "wdm_pointer_array.h"

WdmPointerArray::WdmPointerArray()
    : Capacity(0), GrowthStep(0), Pool(NonPagedPool), HighestIndex(-1), Data(NULL), Status(STATUS_SUCCESS) {}

WdmPointerArray::~WdmPointerArray() { Free(); }

void WdmPointerArray::Free() {
  WdmFree(Data);
  Data = NULL;
  Capacity = 0;
  HighestIndex = -1;
}

NTSTATUS WdmPointerArray::Initialize(ULONG capacity, ULONG growthStep, POOL_TYPE pool) {
  Free();
  GrowthStep = growthStep;
  Pool = pool;
  if (capacity) {
    if (capacity > MAXLONG / sizeof(PVOID)) return Status = STATUS_INSUFFICIENT_RESOURCES;
    Data = (PVOID*)WdmAllocate(capacity * sizeof(PVOID), pool);
    if (!Data) return Status = STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Data, capacity * sizeof(PVOID));
    Capacity = capacity;
  }
  return Status = STATUS_SUCCESS;
}

NTSTATUS WdmPointerArray::SetAt(ULONG index, PVOID value) {
  // HighestIndex is signed, so indexes stop at MAXLONG.
  if (index > (ULONG)MAXLONG) return Status = STATUS_INVALID_PARAMETER;
  if (index >= Capacity) {
    // Without a step the array cannot grow; the step also divides below.
    if (GrowthStep == 0) return Status = STATUS_INVALID_PARAMETER;
    // 32-bit division (index is at most MAXLONG); only the product needs 64 bits.
    ULONG needed = index - Capacity + 1;
    ULONG steps = needed / GrowthStep + (needed % GrowthStep ? 1 : 0);
    ULONGLONG capacity = Capacity + (ULONGLONG)steps * GrowthStep;
    if (capacity * sizeof(PVOID) > MAXLONG) return Status = STATUS_INSUFFICIENT_RESOURCES;
    PVOID* data = (PVOID*)WdmAllocate((SIZE_T)(capacity * sizeof(PVOID)), Pool);
    if (!data) return Status = STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(data, (SIZE_T)(capacity * sizeof(PVOID)));
    if (Capacity) RtlCopyMemory(data, Data, Capacity * sizeof(PVOID));
    WdmFree(Data);
    Data = data;
    Capacity = (ULONG)capacity;
  }
  Data[index] = value;
  if ((LONG)index > HighestIndex) HighestIndex = (LONG)index;
  return Status = STATUS_SUCCESS;
}

LONG WdmPointerArray::Append(PVOID value) {
  if (HighestIndex == MAXLONG) {
    Status = STATUS_INVALID_PARAMETER;
    return -1;
  }
  ULONG index = (ULONG)(HighestIndex + 1);
  return NT_SUCCESS(SetAt(index, value)) ? (LONG)index : -1;
}
