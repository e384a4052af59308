// System threads: create, keep the thread object referenced, wait for the end.
#include "wdm_system_thread.h"

WdmSystemThread::WdmSystemThread() : Handle(NULL), Thread(NULL), Context(NULL), Started(FALSE), Ended(FALSE) {}

WdmSystemThread::~WdmSystemThread() { Release(); }

void WdmSystemThread::Release() {
  PVOID thread = Thread;
  Thread = NULL;
  if (thread) ObDereferenceObject(thread);
}

NTSTATUS WdmSystemThread::Start(PKSTART_ROUTINE routine, PVOID context, ACCESS_MASK access) {
  if (Thread) {
    // A thread that did not say it ended may still have ended; only a running one
    // keeps its slot, since dropping it would leave it unwaitable.
    if (!Ended) {
      LARGE_INTEGER now;
      now.QuadPart = 0;
      if (KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &now) != STATUS_SUCCESS)
        return STATUS_DEVICE_BUSY;
    }
    Release();
  }
  Context = context;
  Started = FALSE;
  Ended = FALSE;
  HANDLE handle = NULL;
  NTSTATUS status = PsCreateSystemThread(&handle, access, NULL, NULL, NULL, routine, this);
  if (!NT_SUCCESS(status)) return status;
  Handle = handle;
  PVOID thread = NULL;
  status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, NULL);
  ZwClose(handle);
  Handle = NULL;
  if (NT_SUCCESS(status)) Thread = thread;
  Started = Thread != NULL;
  return status;
}

NTSTATUS WdmSystemThread::WaitForEnd(PLARGE_INTEGER timeout) {
  if (!Thread) return STATUS_SUCCESS;
  if (Thread == (PVOID)KeGetCurrentThread()) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, timeout);
  if (status != STATUS_SUCCESS) return status;
  Ended = TRUE;
  Release();
  return STATUS_SUCCESS;
}
