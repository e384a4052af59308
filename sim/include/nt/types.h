// Base types of the NT kernel interface for the host build: the documented names with
// the Windows sizes (ULONG/LONG 32 bits, WCHAR 16 bits, pointers as the target).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define NT_EXTERN_C extern "C"
#define NT_EXTERN_C_BEGIN extern "C" {
#define NT_EXTERN_C_END }
#else
#define NT_EXTERN_C extern
#define NT_EXTERN_C_BEGIN
#define NT_EXTERN_C_END
#endif

// Calling conventions have one meaning on the host.
#define NTAPI
#define WINAPI
#define CALLBACK
#define APIENTRY
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define DECLSPEC_IMPORT
#define FASTCALL
#define FORCEINLINE static inline
#define __stdcall
#define __cdecl
#define __fastcall
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define VOID void

typedef void* PVOID;
typedef void** PPVOID;
typedef const void* PCVOID;
typedef char CHAR, CCHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef signed char SCHAR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int LONG, *PLONG, INT, BOOL, *PBOOL;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD, *LPDWORD;
typedef long long LONGLONG, *PLONGLONG, LONG64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, DWORD64;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef intptr_t LONG_PTR, INT_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, UINT_PTR, DWORD_PTR, *PULONG_PTR, SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;
typedef ULONG_PTR KAFFINITY;
typedef ULONG DEVICE_TYPE;

#ifdef __cplusplus
static_assert(sizeof(WCHAR) == 2, "the host build must use -fshort-wchar");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32 bits");
#endif

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define ANYSIZE_ARRAY 1
#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUSHORT 0xFFFF
#define MAXUCHAR 0xFF
#define MAXLONGLONG 0x7FFFFFFFFFFFFFFFll

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, OEM_STRING, *PSTRING, *PANSI_STRING, *POEM_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

// Object attributes for Zw* calls.
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// Access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
