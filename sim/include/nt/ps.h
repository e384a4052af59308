// Process and thread interface: system threads.
#pragma once

#include "nt/ke.h"

typedef void KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)

NT_EXTERN_C_BEGIN

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
PETHREAD NTAPI PsGetCurrentThread(void);
HANDLE NTAPI PsGetCurrentThreadId(void);
HANDLE NTAPI PsGetCurrentProcessId(void);
BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion);

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                 PULONG ReturnLength);

NT_EXTERN_C_END

#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
