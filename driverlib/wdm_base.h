// Common ground of the driver class library: the pool tag of everything the library
// allocates, and pool-backed allocation for library objects.
#pragma once

#include <ntddk.h>

#include <new>

// Every allocation of the library and of the drivers built on it carries "Wdm ".
#define WDM_POOL_TAG ((ULONG)0x206D6457)

inline void* WdmAllocate(SIZE_T size, POOL_TYPE pool = NonPagedPool) {
  return ExAllocatePoolWithTag(pool, size, WDM_POOL_TAG);
}

inline void WdmFree(void* p) {
  if (p) ExFreePoolWithTag(p, WDM_POOL_TAG);
}

// Base of library objects allocated on their own (not inside a device extension):
// pool-backed new that reports failure as null instead of throwing.
struct WdmPoolObject {
  static void* operator new(size_t size, POOL_TYPE pool = NonPagedPool) noexcept { return WdmAllocate(size, pool); }
  static void operator delete(void* p) noexcept { WdmFree(p); }
  static void operator delete(void* p, POOL_TYPE) noexcept { WdmFree(p); }
};

// Forwarding without <utility>: kernel code uses only the freestanding headers.
template <class T> struct WdmRemoveRef { typedef T Type; };
template <class T> struct WdmRemoveRef<T&> { typedef T Type; };
template <class T> struct WdmRemoveRef<T&&> { typedef T Type; };
template <class T>
constexpr T&& WdmForward(typename WdmRemoveRef<T>::Type& t) noexcept {
  return static_cast<T&&>(t);
}

// Set once at driver entry: the 98 platform keeps class keys under Services, not Control,
// and names links "\DosDevices\" rather than "\??\".
extern BOOLEAN IsWin98Platform;
// Looks at the registry layout and sets IsWin98Platform.
void WdmDetectPlatform();
