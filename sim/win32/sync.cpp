// Events, waits, threads and time of the simulated PC's applications. Application threads
// are simulated threads and every wait is a dispatcher wait, so timeouts run in virtual
// time and the clock moves when the application is idle.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "kernel.h"
#include "win32_internal.h"

namespace sim::win32 {
namespace detail {

const sim::kernel::ObjectType kEventType{"Win32Event",
                                         [](void* body) { sim::kernel::ObDestroy<EventBody>(body); }};
const sim::kernel::ObjectType kThreadType{"Win32Thread", [](void* body) {
                                            auto* t = static_cast<ThreadBody*>(body);
                                            if (t->thread) sim::kernel::ObDeref(t->thread);
                                            sim::kernel::ObDestroy<ThreadBody>(body);
                                          }};

PVOID WaitableObject(HANDLE handle, void** body) {
  *body = nullptr;
  if (!NT_SUCCESS(sim::kernel::HandleReference(handle, nullptr, body))) return nullptr;
  const sim::kernel::ObjectType* type = sim::kernel::ObTypeOf(*body);
  if (type == &kEventType) return &static_cast<EventBody*>(*body)->event;
  if (type == &kThreadType) return static_cast<ThreadBody*>(*body)->thread;
  if (type == &sim::kernel::kThreadType) return *body;
  sim::kernel::ObDeref(*body);
  *body = nullptr;
  return nullptr;
}

}  // namespace detail

namespace {

namespace k = sim::kernel;

// Thrown by ExitThread and caught where the thread began.
struct ThreadExit {
  DWORD code;
};
thread_local bool tCreatedThread = false;
std::atomic<int> gThreadNumber{0};

HANDLE NewEvent(BOOL manualReset, BOOL initialState) {
  auto* body = k::ObNew<detail::EventBody>(&detail::kEventType);
  KeInitializeEvent(&body->event, manualReset ? NotificationEvent : SynchronizationEvent,
                    initialState ? TRUE : FALSE);
  HANDLE h = k::HandleInsert(body, EVENT_ALL_ACCESS, true);
  k::ObDeref(body);
  SetLastError(ERROR_SUCCESS);
  return h;
}

detail::EventBody* EventOf(HANDLE h) {
  void* body = nullptr;
  if (!NT_SUCCESS(k::HandleReference(h, &detail::kEventType, &body))) return nullptr;
  return static_cast<detail::EventBody*>(body);
}

LARGE_INTEGER* Timeout(DWORD ms, LARGE_INTEGER* storage) {
  if (ms == INFINITE) return nullptr;
  storage->QuadPart = -(LONGLONG)ms * 10000;
  return storage;
}

}  // namespace
}  // namespace sim::win32

using namespace sim::win32;
namespace k = sim::kernel;

extern "C" {

// Named events would be shared by name between processes; this PC runs one application
// per test, so a name is accepted and the event is private.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  return NewEvent(bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  return NewEvent(bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  detail::EventBody* e = EventOf(hEvent);
  if (!e) return detail::FailWith(ERROR_INVALID_HANDLE);
  KeSetEvent(&e->event, EVENT_INCREMENT, FALSE);
  k::ObDeref(e);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  detail::EventBody* e = EventOf(hEvent);
  if (!e) return detail::FailWith(ERROR_INVALID_HANDLE);
  KeClearEvent(&e->event);
  k::ObDeref(e);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, TRUE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
    detail::FailWith(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<void*> bodies(nCount, nullptr);
  std::vector<PVOID> objects(nCount, nullptr);
  auto release = [&] {
    for (void* b : bodies)
      if (b) k::ObDeref(b);
  };
  for (DWORD i = 0; i < nCount; i++) {
    objects[i] = detail::WaitableObject(lpHandles[i], &bodies[i]);
    if (!objects[i]) {
      release();
      detail::FailWith(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  LARGE_INTEGER storage;
  std::vector<KWAIT_BLOCK> blocks(nCount);
  NTSTATUS st = KeWaitForMultipleObjects(nCount, objects.data(), bWaitAll ? WaitAll : WaitAny, UserRequest,
                                         UserMode, FALSE, Timeout(dwMilliseconds, &storage), blocks.data());
  release();
  if (st == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  if (st >= STATUS_WAIT_0 && st < STATUS_WAIT_0 + (NTSTATUS)nCount) return (DWORD)st;
  if (st >= STATUS_ABANDONED_WAIT_0 && st < STATUS_ABANDONED_WAIT_0 + (NTSTATUS)nCount) return (DWORD)st;
  detail::Fail(st);
  return WAIT_FAILED;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  // A suspended start needs ResumeThread, which applications of this PC do not use.
  if (!lpStartAddress || (dwCreationFlags & CREATE_SUSPENDED)) {
    detail::FailWith(!lpStartAddress ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto* body = k::ObNew<detail::ThreadBody>(&detail::kThreadType);
  KeInitializeEvent(&body->started, NotificationEvent, FALSE);
  k::ObRef(body);  // the running thread's own reference
  std::string name = "app-thread-" + std::to_string(++gThreadNumber);
  std::thread t = k::StartSimThread(name, [body, lpStartAddress, lpParameter] {
    tCreatedThread = true;
    PKTHREAD self = k::CurrentThread();
    k::ObRef(self);
    body->thread = self;
    body->id = (DWORD)self->id;
    KeSetEvent(&body->started, IO_NO_INCREMENT, FALSE);
    DWORD code;
    try {
      code = lpStartAddress(lpParameter);
    } catch (const ThreadExit& e) {
      code = e.code;
    }
    // Set before the thread object is signalled, which happens as the host thread ends.
    body->exitCode = code;
    k::ObDeref(body);
  });
  t.detach();
  // The handle must name a thread that can be waited on, so its object is known first.
  KeWaitForSingleObject(&body->started, Executive, KernelMode, FALSE, nullptr);
  if (lpThreadId) *lpThreadId = body->id;
  HANDLE h = k::HandleInsert(body, THREAD_ALL_ACCESS, true);
  k::ObDeref(body);
  return h;
}

void WINAPI ExitThread(DWORD dwExitCode) {
  if (!tCreatedThread) {
    fprintf(stderr, "win32: ExitThread outside a thread made by CreateThread\n");
    abort();
  }
  throw ThreadExit{dwExitCode};
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  void* body = nullptr;
  if (!lpExitCode) return detail::FailWith(ERROR_INVALID_PARAMETER);
  if (!NT_SUCCESS(k::HandleReference(hThread, &detail::kThreadType, &body)))
    return detail::FailWith(ERROR_INVALID_HANDLE);
  *lpExitCode = static_cast<detail::ThreadBody*>(body)->exitCode;
  k::ObDeref(body);
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)k::CurrentThread()->id; }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, UserRequest, UserMode, FALSE, nullptr);
    return;
  }
  LARGE_INTEGER storage;
  KeDelayExecutionThread(UserMode, FALSE, Timeout(dwMilliseconds, &storage));
}

DWORD WINAPI GetTickCount(void) { return (DWORD)GetTickCount64(); }

ULONGLONG WINAPI GetTickCount64(void) { return k::Now() / 10000; }

}
