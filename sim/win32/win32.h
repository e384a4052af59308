// Host-side view of the simulated PC's kernel32: what tests and tools ask of it beyond
// the Win32 API itself.
#pragma once

#include <windows.h>

namespace sim::win32 {

// The Win32 error a failed request's NTSTATUS becomes for GetLastError, as Windows maps
// it (ERROR_MR_MID_NOT_FOUND for a status it has no entry for).
DWORD ErrorFromStatus(NTSTATUS status);

}  // namespace sim::win32
