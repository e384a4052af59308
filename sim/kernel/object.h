// Object manager of the simulated kernel: reference-counted kernel objects and the
// handle table (kernel handles and user handles, each with its granted access).
#pragma once

#include <new>
#include <utility>

#include "nt/types.h"
#include "nt/status.h"

namespace sim::kernel {

struct ObjectType {
  const char* name;
  // Runs when the last reference goes; must release the body's own resources
  // (the memory of the body itself is released by the object manager).
  void (*destroy)(void* body);
};

// Allocates a zeroed object body of `size` bytes with a hidden header; one reference.
void* ObCreateObject(const ObjectType* type, size_t size);
// Constructs a C++ object as an object body; `destroy` of the type must call ObDestroy<T>.
template <typename T, typename... Args>
T* ObNew(const ObjectType* type, Args&&... args) {
  void* mem = ObCreateObject(type, sizeof(T));
  return new (mem) T(std::forward<Args>(args)...);
}
template <typename T>
void ObDestroy(void* body) {
  static_cast<T*>(body)->~T();
}

// The type of a live object, or null when `body` is not an object (or is gone).
const ObjectType* ObTypeOf(const void* body);
void ObRef(void* body);
void ObDeref(void* body);
LONG ObRefCount(const void* body);

// Handles. A handle holds one reference. Kernel handles (OBJ_KERNEL_HANDLE or made by
// kernel-mode callers) are not checked against their granted access when used from
// kernel mode, as on Windows; user-mode use checks it.
HANDLE HandleInsert(void* body, ACCESS_MASK granted, bool userMode);
// Looks up a handle; on success adds a reference the caller must drop with ObDeref.
// `expected` null accepts any type. Returns STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS HandleReference(HANDLE h, const ObjectType* expected, void** body, ACCESS_MASK* granted = nullptr,
                         bool* userHandle = nullptr);
NTSTATUS HandleClose(HANDLE h);
size_t HandleCount();

}  // namespace sim::kernel
