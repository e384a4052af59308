// A pool-backed array of pointers that grows by a fixed step when an index beyond its
// capacity is written.
#pragma once

#include "wdm_base.h"

class WdmPointerArray {
 public:
  ULONG Capacity;  // entries
  ULONG GrowthStep;  // entries added per step when growing
  POOL_TYPE Pool;
  LONG HighestIndex;  // highest index written, -1 when empty
  PVOID* Data;
  NTSTATUS Status;  // of the last operation

  WdmPointerArray();
  ~WdmPointerArray();
  WdmPointerArray(const WdmPointerArray&) = delete;
  WdmPointerArray& operator=(const WdmPointerArray&) = delete;

  // Drops any old contents and allocates `capacity` zeroed entries.
  NTSTATUS Initialize(ULONG capacity, ULONG growthStep, POOL_TYPE pool = NonPagedPool);
  // Stores at `index`, growing to cover it; on failure nothing is stored.
  NTSTATUS SetAt(ULONG index, PVOID value);
  // Stores after the highest index; returns that index, or -1 on failure.
  LONG Append(PVOID value);
  // Null beyond the capacity.
  PVOID GetAt(ULONG index) const { return index < Capacity ? Data[index] : NULL; }
  // Frees the entries (the pointed-to objects are the caller's).
  void Free();
};
