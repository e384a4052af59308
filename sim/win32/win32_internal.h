// State shared by the kernel32 files: the objects behind event and thread handles, the
// per-handle record of files, and the helpers that turn a status into a Win32 failure.
#pragma once

#include <atomic>

#include <windows.h>
#include <wdm.h>

#include "object.h"
#include "win32.h"

namespace sim::win32::detail {

// An event handle's object. `pinned` is set once a request in flight may signal it: from
// then on the object lives until shutdown, because the I/O manager sets the event at
// completion whether or not the application still holds the handle.
struct EventBody {
  KEVENT event;
  std::atomic<bool> pinned{false};
};
extern const sim::kernel::ObjectType kEventType;

// A thread handle's object: the simulated thread (signalled when it ends) and its result.
struct ThreadBody {
  PKTHREAD thread = nullptr;
  KEVENT started;
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  DWORD id = 0;
};
extern const sim::kernel::ObjectType kThreadType;

// Sets the calling thread's last error from a status / to an error and returns FALSE.
BOOL Fail(NTSTATUS status);
BOOL FailWith(DWORD error);

// Files opened by CreateFile: whether the handle was opened for overlapped I/O.
void RememberFile(HANDLE file, bool overlapped);
void ForgetFile(HANDLE file);
bool IsOverlappedFile(HANDLE file);
// The event a request on `file` signals when it completes: the OVERLAPPED's event (its
// low bit is the caller's "no completion port" mark, not part of the handle) or, without
// one, the file handle's own. Null with *status set when hEvent is not an event handle.
PKEVENT CompletionEvent(HANDLE file, HANDLE hEvent, NTSTATUS* status);

// The dispatcher object a waitable handle stands for, referenced in *body (ObDeref when
// done); null for a handle that cannot be waited on.
PVOID WaitableObject(HANDLE handle, void** body);

}  // namespace sim::win32::detail
