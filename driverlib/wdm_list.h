// Intrusive doubly linked lists of the driver class library. Elements are addressed by
// their start; each carries its LIST_ENTRY at a fixed byte offset given to the list.
#pragma once

#include "wdm_base.h"

class WdmList {
 public:
  LIST_ENTRY ListHead;
  ULONG LinkOffset;  // bytes from an element's start to its LIST_ENTRY

  explicit WdmList(ULONG linkOffset = 0);
  WdmList(const WdmList&) = delete;
  WdmList& operator=(const WdmList&) = delete;

  // Empties the list (elements are not touched) and sets the link offset.
  void Initialize(ULONG linkOffset);

  // Null at the ends and on an empty list.
  PVOID Head() const;
  PVOID Tail() const;
  PVOID Next(PVOID element) const;
  PVOID Previous(PVOID element) const;
  void InsertHead(PVOID element);
  void InsertTail(PVOID element);
  PVOID RemoveHead();
  PVOID RemoveTail();
  void Remove(PVOID element);
  BOOLEAN IsEmpty() const { return IsListEmpty(&ListHead); }
  ULONG Count() const;

  PLIST_ENTRY LinkOf(PVOID element) const { return (PLIST_ENTRY)((PUCHAR)element + LinkOffset); }
  PVOID ElementOf(PLIST_ENTRY link) const { return (PUCHAR)link - LinkOffset; }
};

// The same list behind its own spin lock; usable up to DISPATCH_LEVEL. Next and Previous
// are safe only while the element cannot be removed by someone else; walk with Lock,
// Items and Unlock instead when that is not certain.
class WdmLockedList {
 public:
  explicit WdmLockedList(ULONG linkOffset = 0);
  WdmLockedList(const WdmLockedList&) = delete;
  WdmLockedList& operator=(const WdmLockedList&) = delete;

  void Initialize(ULONG linkOffset);

  PVOID Head();
  PVOID Tail();
  PVOID Next(PVOID element);
  PVOID Previous(PVOID element);
  void InsertHead(PVOID element);
  void InsertTail(PVOID element);
  PVOID RemoveHead();
  PVOID RemoveTail();
  void Remove(PVOID element);
  BOOLEAN IsEmpty();
  ULONG Count();

  // For several steps under one hold of the lock: Lock, work on Items(), Unlock.
  KIRQL Lock();
  void Unlock(KIRQL oldIrql);
  WdmList& Items() { return List; }

 private:
  WdmList List;
  KSPIN_LOCK SpinLock;
};
