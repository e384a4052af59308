// A system thread of the driver class library, kept by a reference to its thread object
// so the owner can wait for it to end before it goes away (a driver must not unload
// under a thread still running its code).
#pragma once

#include "wdm_base.h"

class WdmSystemThread {
 public:
  HANDLE Handle;  // only between creation and referencing
  PVOID Thread;  // referenced thread object, or null
  PVOID Context;  // the owner's context for the thread routine
  BOOLEAN Started;
  BOOLEAN Ended;

  WdmSystemThread();
  // Gives back the reference; the owner must have waited for the thread to end.
  ~WdmSystemThread();
  WdmSystemThread(const WdmSystemThread&) = delete;
  WdmSystemThread& operator=(const WdmSystemThread&) = delete;

  // Runs `routine` on a new system thread; the routine's argument is this object (see
  // From and Context). A previous thread of this object must have ended; while it still
  // runs the result is STATUS_DEVICE_BUSY and nothing is started. PASSIVE_LEVEL.
  NTSTATUS Start(PKSTART_ROUTINE routine, PVOID context, ACCESS_MASK access = THREAD_ALL_ACCESS);
  // Waits for the thread to end (`timeout` null: for ever), then releases the reference.
  // STATUS_SUCCESS also when no thread is held; STATUS_TIMEOUT when it still runs.
  // Never from the thread itself (STATUS_INVALID_DEVICE_STATE). PASSIVE_LEVEL.
  NTSTATUS WaitForEnd(PLARGE_INTEGER timeout = NULL);
  // Said by the thread itself just before it returns or terminates.
  void MarkEnded() { Ended = TRUE; }
  // Drops the reference to the thread object without waiting.
  void Release();

  static WdmSystemThread* From(PVOID startContext) { return (WdmSystemThread*)startContext; }
};
