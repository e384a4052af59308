// The C++ runtime of a driver image: operator new and delete over non-paged pool with the
// library's tag, the pure-virtual trap, and atexit feeding the exit list that the image
// runs at unload (global destructors, in reverse order of registration).
#include "wdm_driver.h"

namespace {

struct ExitNode {
  void (*Destructor)(void);
  ExitNode* Next;
};

ExitNode* ExitList = nullptr;

}  // namespace

NTSTATUS WdmInitStatus = STATUS_SUCCESS;

extern "C" int atexit(void (*destructor)(void)) {
  auto* node = static_cast<ExitNode*>(WdmAllocate(sizeof(ExitNode)));
  if (!node) {
    // No room to remember it: undo the constructor now and fail the entry.
    destructor();
    WdmInitStatus = STATUS_INSUFFICIENT_RESOURCES;
    return -1;
  }
  node->Destructor = destructor;
  node->Next = ExitList;
  ExitList = node;
  return 0;
}

void WdmRunExitList() {
  while (ExitList) {
    ExitNode* node = ExitList;
    ExitList = node->Next;
    node->Destructor();
    WdmFree(node);
  }
}

extern "C" void __cxa_pure_virtual() { KeBugCheckEx(0xE2 /* MANUALLY_INITIATED_CRASH */, 0x505652, 0, 0, 0); }

// Null on failure, as every caller in kernel code checks (built with -fcheck-new).
void* operator new(size_t size) { return WdmAllocate(size); }
void* operator new[](size_t size) { return WdmAllocate(size); }
void operator delete(void* p) noexcept { WdmFree(p); }
void operator delete[](void* p) noexcept { WdmFree(p); }
void operator delete(void* p, size_t) noexcept { WdmFree(p); }
void operator delete[](void* p, size_t) noexcept { WdmFree(p); }
