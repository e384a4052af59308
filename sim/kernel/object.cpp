// Object manager: kernel objects carry a hidden header with their type and reference
// count; the handle table maps handles to objects with the access they were granted.
#include "object.h"

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

struct alignas(16) ObjectHeader {
  const ObjectType* type;
  std::atomic<LONG> refs;
  size_t size;
};

struct HandleEntry {
  void* body;
  ACCESS_MASK granted;
  bool userMode;
};

std::mutex gObLock;
std::unordered_set<const void*> gLive;
std::unordered_map<ULONG_PTR, HandleEntry> gHandles;
ULONG_PTR gNextHandle = 4;

ObjectHeader* HeaderOf(const void* body) {
  return reinterpret_cast<ObjectHeader*>(const_cast<char*>(static_cast<const char*>(body)) - sizeof(ObjectHeader));
}

}  // namespace

void* ObCreateObject(const ObjectType* type, size_t size) {
  void* mem = ::operator new(sizeof(ObjectHeader) + size, std::align_val_t(16));
  auto* header = new (mem) ObjectHeader{type, {1}, size};
  void* body = header + 1;
  memset(body, 0, size);
  std::lock_guard<std::mutex> g(gObLock);
  gLive.insert(body);
  return body;
}

const ObjectType* ObTypeOf(const void* body) {
  std::lock_guard<std::mutex> g(gObLock);
  if (!gLive.count(body)) return nullptr;
  return HeaderOf(body)->type;
}

void ObRef(void* body) {
  bool live;
  {
    std::lock_guard<std::mutex> g(gObLock);
    live = gLive.count(body) != 0;
    if (live) HeaderOf(body)->refs.fetch_add(1);
  }
  // Reported outside the lock: the report itself may need the object manager.
  if (!live)
    BugCheck(kDriverVerifierDetectedViolation, 0x1000, (ULONG_PTR)body, 0, 0,
             "reference to an object that does not exist", SIM_CALLER());
}

void ObDeref(void* body) {
  ObjectHeader* header;
  const void* site = SIM_CALLER();
  {
    std::unique_lock<std::mutex> g(gObLock);
    if (!gLive.count(body)) {
      g.unlock();
      BugCheck(kDriverVerifierDetectedViolation, 0x1001, (ULONG_PTR)body, 0, 0,
               "dereference of an object that does not exist", site);
    }
    header = HeaderOf(body);
    LONG left = header->refs.fetch_sub(1) - 1;
    if (left < 0) {
      g.unlock();
      BugCheck(kDriverVerifierDetectedViolation, 0x1002, (ULONG_PTR)body, 0, 0, "object reference count below zero",
               site);
    }
    if (left > 0) return;
    gLive.erase(body);
  }
  if (header->type && header->type->destroy) header->type->destroy(body);
  header->~ObjectHeader();
  ::operator delete(header, std::align_val_t(16));
}

LONG ObRefCount(const void* body) {
  std::lock_guard<std::mutex> g(gObLock);
  if (!gLive.count(body)) return 0;
  return HeaderOf(body)->refs.load();
}

HANDLE HandleInsert(void* body, ACCESS_MASK granted, bool userMode) {
  ObRef(body);
  std::lock_guard<std::mutex> g(gObLock);
  ULONG_PTR h = gNextHandle;
  gNextHandle += 4;
  gHandles[h] = HandleEntry{body, granted, userMode};
  return reinterpret_cast<HANDLE>(h);
}

NTSTATUS HandleReference(HANDLE h, const ObjectType* expected, void** body, ACCESS_MASK* granted, bool* userHandle) {
  std::lock_guard<std::mutex> g(gObLock);
  auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(h));
  if (it == gHandles.end()) return STATUS_INVALID_HANDLE;
  if (expected && HeaderOf(it->second.body)->type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
  HeaderOf(it->second.body)->refs.fetch_add(1);
  *body = it->second.body;
  if (granted) *granted = it->second.granted;
  if (userHandle) *userHandle = it->second.userMode;
  return STATUS_SUCCESS;
}

NTSTATUS HandleClose(HANDLE h) {
  void* body;
  {
    std::lock_guard<std::mutex> g(gObLock);
    auto it = gHandles.find(reinterpret_cast<ULONG_PTR>(h));
    if (it == gHandles.end()) return STATUS_INVALID_HANDLE;
    body = it->second.body;
    gHandles.erase(it);
  }
  ObDeref(body);
  return STATUS_SUCCESS;
}

size_t HandleCount() {
  std::lock_guard<std::mutex> g(gObLock);
  return gHandles.size();
}

void ResetObjects() {
  // Objects still alive at shutdown belong to the machine that is going away: release
  // their memory so the next boot starts clean.
  std::unordered_set<const void*> live;
  {
    std::lock_guard<std::mutex> g(gObLock);
    gHandles.clear();
    live.swap(gLive);
    gNextHandle = 4;
  }
  for (const void* body : live) {
    ObjectHeader* header = HeaderOf(body);
    if (header->type && header->type->destroy) header->type->destroy(const_cast<void*>(body));
    header->~ObjectHeader();
    ::operator delete(header, std::align_val_t(16));
  }
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

LONG_PTR NTAPI ObfReferenceObject(PVOID Object) {
  ObRef(Object);
  return ObRefCount(Object);
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
  LONG before = ObRefCount(Object);
  ObDeref(Object);
  return before - 1;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Handle, KeGetCurrentIrql(), 0, 0, "ZwClose above PASSIVE_LEVEL",
             SIM_CALLER());
  return HandleClose(Handle);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
  void* body = nullptr;
  ACCESS_MASK granted = 0;
  NTSTATUS st = HandleReference(Handle, reinterpret_cast<const sim::kernel::ObjectType*>(ObjectType), &body, &granted);
  if (!NT_SUCCESS(st)) return st;
  if (AccessMode == UserMode && (DesiredAccess & ~granted) != 0) {
    ObDeref(body);
    return STATUS_ACCESS_DENIED;
  }
  *Object = body;
  return STATUS_SUCCESS;
}

}  // extern "C"
