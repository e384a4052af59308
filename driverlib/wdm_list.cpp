// Intrusive lists, plain and behind a spin lock.
#include "wdm_list.h"

WdmList::WdmList(ULONG linkOffset) : LinkOffset(linkOffset) { InitializeListHead(&ListHead); }

void WdmList::Initialize(ULONG linkOffset) {
  LinkOffset = linkOffset;
  InitializeListHead(&ListHead);
}

PVOID WdmList::Head() const { return IsEmpty() ? NULL : ElementOf(ListHead.Flink); }

PVOID WdmList::Tail() const { return IsEmpty() ? NULL : ElementOf(ListHead.Blink); }

PVOID WdmList::Next(PVOID element) const {
  PLIST_ENTRY next = LinkOf(element)->Flink;
  return next == &ListHead ? NULL : ElementOf(next);
}

PVOID WdmList::Previous(PVOID element) const {
  PLIST_ENTRY previous = LinkOf(element)->Blink;
  return previous == &ListHead ? NULL : ElementOf(previous);
}

void WdmList::InsertHead(PVOID element) { InsertHeadList(&ListHead, LinkOf(element)); }

void WdmList::InsertTail(PVOID element) { InsertTailList(&ListHead, LinkOf(element)); }

PVOID WdmList::RemoveHead() {
  if (IsEmpty()) return NULL;
  PVOID element = ElementOf(ListHead.Flink);
  Remove(element);
  return element;
}

PVOID WdmList::RemoveTail() {
  if (IsEmpty()) return NULL;
  PVOID element = ElementOf(ListHead.Blink);
  Remove(element);
  return element;
}

void WdmList::Remove(PVOID element) {
  PLIST_ENTRY link = LinkOf(element);
  RemoveEntryList(link);
  // A removed element points at itself: a second removal leaves the list intact instead
  // of unlinking whatever now sits beside its stale links.
  InitializeListHead(link);
}

ULONG WdmList::Count() const {
  ULONG n = 0;
  for (PLIST_ENTRY e = ListHead.Flink; e != &ListHead; e = e->Flink) ++n;
  return n;
}

WdmLockedList::WdmLockedList(ULONG linkOffset) : List(linkOffset) { KeInitializeSpinLock(&SpinLock); }

void WdmLockedList::Initialize(ULONG linkOffset) {
  KeInitializeSpinLock(&SpinLock);
  List.Initialize(linkOffset);
}

KIRQL WdmLockedList::Lock() {
  KIRQL old;
  KeAcquireSpinLock(&SpinLock, &old);
  return old;
}

void WdmLockedList::Unlock(KIRQL oldIrql) { KeReleaseSpinLock(&SpinLock, oldIrql); }

// Each operation holds the lock for its own duration only.
#define WDM_LOCKED(expr)    \
  KIRQL old = Lock();       \
  auto result = (expr);     \
  Unlock(old);              \
  return result

PVOID WdmLockedList::Head() { WDM_LOCKED(List.Head()); }
PVOID WdmLockedList::Tail() { WDM_LOCKED(List.Tail()); }
PVOID WdmLockedList::Next(PVOID element) { WDM_LOCKED(List.Next(element)); }
PVOID WdmLockedList::Previous(PVOID element) { WDM_LOCKED(List.Previous(element)); }
PVOID WdmLockedList::RemoveHead() { WDM_LOCKED(List.RemoveHead()); }
PVOID WdmLockedList::RemoveTail() { WDM_LOCKED(List.RemoveTail()); }
BOOLEAN WdmLockedList::IsEmpty() { WDM_LOCKED(List.IsEmpty()); }
ULONG WdmLockedList::Count() { WDM_LOCKED(List.Count()); }

#undef WDM_LOCKED

void WdmLockedList::InsertHead(PVOID element) {
  KIRQL old = Lock();
  List.InsertHead(element);
  Unlock(old);
}

void WdmLockedList::InsertTail(PVOID element) {
  KIRQL old = Lock();
  List.InsertTail(element);
  Unlock(old);
}

void WdmLockedList::Remove(PVOID element) {
  KIRQL old = Lock();
  List.Remove(element);
  Unlock(old);
}
