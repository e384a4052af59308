// Win32 base types and constants of the simulated PC's applications: handles, the
// OVERLAPPED block, CreateFile's access, share, disposition and flag values, wait results.
#pragma once

#include "../nt/types.h"
#include "../nt/status.h"

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef LONG* LPLONG;
typedef WORD* LPWORD;
typedef HANDLE* LPHANDLE;
typedef char* LPCH;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef LPTHREAD_START_ROUTINE PTHREAD_START_ROUTINE;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Internal and InternalHigh are the request's status block while it is in flight.
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != (DWORD)STATUS_PENDING)

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF
#define MAXDWORD 0xffffffff

// Access, share and disposition of CreateFile.
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#endif
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

// Waits.
#define WAIT_OBJECT_0 ((DWORD)STATUS_WAIT_0)
#define WAIT_ABANDONED ((DWORD)STATUS_ABANDONED_WAIT_0)
#define WAIT_ABANDONED_0 ((DWORD)STATUS_ABANDONED_WAIT_0)
#define WAIT_IO_COMPLETION ((DWORD)STATUS_USER_APC)
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif

// Events and threads.
#define EVENT_MODIFY_STATE 0x0002
#ifndef EVENT_ALL_ACCESS
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#endif
#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE ((DWORD)STATUS_PENDING)
