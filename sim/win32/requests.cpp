// ReadFile, WriteFile and DeviceIoControl, synchronous and overlapped, GetOverlappedResult
// and CancelIo: each request is one IRP through the I/O manager, and an overlapped one
// reports through the caller's OVERLAPPED, which serves as its status block.
#include <cstddef>
#include <functional>

#include "io.h"
#include "win32_internal.h"

namespace sim::win32 {
namespace {

namespace k = sim::kernel;

static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status) &&
                  offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information) &&
                  sizeof(((OVERLAPPED*)0)->Internal) == sizeof(IO_STATUS_BLOCK::Pointer),
              "an OVERLAPPED begins with a status block");

NTSTATUS StatusOf(const OVERLAPPED* ov) { return (NTSTATUS)(ULONG)ov->Internal; }

using Issue = std::function<NTSTATUS(ULONG_PTR* transferred, k::AsyncIo async)>;

// Runs one request the way kernel32 does: synchronous without an OVERLAPPED; with one,
// through it, returning ERROR_IO_PENDING while it is in flight on an overlapped handle
// and waiting for it on a handle opened without FILE_FLAG_OVERLAPPED.
BOOL Run(HANDLE file, LPDWORD count, LPOVERLAPPED ov, const Issue& issue) {
  if (count) *count = 0;
  if (!file || file == INVALID_HANDLE_VALUE) return detail::FailWith(ERROR_INVALID_HANDLE);
  ULONG_PTR n = 0;
  if (!ov) {
    NTSTATUS st = issue(&n, {});
    if (count && !NT_ERROR(st)) *count = (DWORD)n;
    return NT_SUCCESS(st) ? TRUE : detail::Fail(st);
  }
  NTSTATUS st = STATUS_SUCCESS;
  PKEVENT event = detail::CompletionEvent(file, ov->hEvent, &st);
  if (!event) return detail::Fail(st);
  ov->Internal = (ULONG_PTR)(ULONG)STATUS_PENDING;
  ov->InternalHigh = 0;
  st = issue(&n, k::AsyncIo{event, reinterpret_cast<PIO_STATUS_BLOCK>(ov)});
  if (st == STATUS_PENDING) {
    if (detail::IsOverlappedFile(file)) return detail::FailWith(ERROR_IO_PENDING);
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(file, ov, &done, TRUE);
    if (count) *count = done;
    return ok;
  }
  // Finished at once, or refused before it reached the driver (the block is untouched then).
  ov->Internal = (ULONG_PTR)(ULONG)st;
  if (count && !NT_ERROR(st)) *count = (DWORD)ov->InternalHigh;
  return NT_SUCCESS(st) ? TRUE : detail::Fail(st);
}

// A null buffer with a length fails the I/O manager's probe of the caller's memory
// before any request is built, as on Windows.
BOOL BadBuffer(LPDWORD count) {
  if (count) *count = 0;
  return detail::Fail(STATUS_ACCESS_VIOLATION);
}

LONGLONG OffsetOf(const OVERLAPPED* ov) {
  return ov ? (LONGLONG)(((ULONGLONG)ov->OffsetHigh << 32) | ov->Offset) : 0;
}

}  // namespace
}  // namespace sim::win32

using namespace sim::win32;
namespace k = sim::kernel;

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (!lpBuffer && nNumberOfBytesToRead) return BadBuffer(lpNumberOfBytesRead);
  LONGLONG offset = OffsetOf(lpOverlapped);
  return Run(hFile, lpNumberOfBytesRead, lpOverlapped, [&](ULONG_PTR* n, k::AsyncIo async) {
    return k::Read(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped ? &offset : nullptr, n, async);
  });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  if (!lpBuffer && nNumberOfBytesToWrite) return BadBuffer(lpNumberOfBytesWritten);
  LONGLONG offset = OffsetOf(lpOverlapped);
  return Run(hFile, lpNumberOfBytesWritten, lpOverlapped, [&](ULONG_PTR* n, k::AsyncIo async) {
    return k::Write(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped ? &offset : nullptr, n, async);
  });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) return BadBuffer(lpBytesReturned);
  return Run(hDevice, lpBytesReturned, lpOverlapped, [&](ULONG_PTR* n, k::AsyncIo async) {
    return k::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, n,
                              async);
  });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  if (!lpOverlapped) return detail::FailWith(ERROR_INVALID_PARAMETER);
  if (StatusOf(lpOverlapped) == STATUS_PENDING) {
    if (!bWait) return detail::FailWith(ERROR_IO_INCOMPLETE);
    NTSTATUS st = STATUS_SUCCESS;
    PKEVENT event = detail::CompletionEvent(hFile, lpOverlapped->hEvent, &st);
    if (!event) return detail::Fail(st);
    // The status block is written before the event is set. A set left over from something
    // else is cleared before looking again, so a manual-reset event cannot spin us.
    while (StatusOf(lpOverlapped) == STATUS_PENDING) {
      KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, nullptr);
      if (StatusOf(lpOverlapped) != STATUS_PENDING) break;
      KeClearEvent(event);
    }
  }
  if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
  NTSTATUS st = StatusOf(lpOverlapped);
  return NT_SUCCESS(st) ? TRUE : detail::Fail(st);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  NTSTATUS st = k::CancelIo(hFile);
  // Nothing in flight is not a failure: the thread has no requests left on the handle.
  if (st == STATUS_NOT_FOUND) return TRUE;
  return NT_SUCCESS(st) ? TRUE : detail::Fail(st);
}

}
