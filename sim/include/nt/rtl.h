// Run-time library of the kernel interface: list helpers, memory macros, counted
// strings, number and GUID conversion, registry shortcuts and time conversion.
#pragma once

#include "nt/types.h"
#include "nt/status.h"
#include "nt/ke.h"

// ---- Memory -------------------------------------------------------------------------
// The compiler builtins keep driver code free of the C library headers.
#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))

// ---- Doubly and singly linked lists ---------------------------------------------------
// A corrupted link (an entry removed twice, or freed while still listed) stops the machine
// with KERNEL_SECURITY_CHECK_FAILURE as a current kernel's list checks do.
#define RTL_LIST_CORRUPTION_CODE 0x139
#define RTL_LIST_CORRUPTION_TYPE 3

FORCEINLINE void RtlpCheckListEntry(PLIST_ENTRY Entry) {
  if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
    KeBugCheckEx(RTL_LIST_CORRUPTION_CODE, RTL_LIST_CORRUPTION_TYPE, (ULONG_PTR)Entry, 0, 0);
  }
}

FORCEINLINE void InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return (BOOLEAN)(ListHead->Flink == ListHead); }

FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  RtlpCheckListEntry(Entry);
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  RemoveEntryList(Entry);
  return Entry;
}

FORCEINLINE void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  RtlpCheckListEntry(ListHead);
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}

FORCEINLINE void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  RtlpCheckListEntry(ListHead);
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}

FORCEINLINE void AppendTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListToAppend) {
  PLIST_ENTRY ListEnd = ListHead->Blink;
  ListHead->Blink->Flink = ListToAppend;
  ListHead->Blink = ListToAppend->Blink;
  ListToAppend->Blink->Flink = ListHead;
  ListToAppend->Blink = ListEnd;
}

FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
  PSINGLE_LIST_ENTRY FirstEntry = ListHead->Next;
  if (FirstEntry != NULL) ListHead->Next = FirstEntry->Next;
  return FirstEntry;
}

FORCEINLINE void PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
  Entry->Next = ListHead->Next;
  ListHead->Next = Entry;
}

// ---- Strings and numbers --------------------------------------------------------------
#ifndef _REFGUID_DEFINED
#define _REFGUID_DEFINED
#ifdef __cplusplus
#define REFGUID const GUID&
#else
#define REFGUID const GUID*
#endif
#endif

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

// Counted string over a literal; the buffer is not writable.
#ifdef __cplusplus
template <typename T, size_t N>
constexpr T* RtlpConstantStringBuffer(const T (&s)[N]) {
  return const_cast<T*>(s);
}
#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), RtlpConstantStringBuffer(s)}
#else
#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (void*)(s)}
#endif
#define DECLARE_CONST_UNICODE_STRING(_var, _str) const UNICODE_STRING _var = {sizeof(_str) - sizeof(WCHAR), sizeof(_str), (PWCH)(_str)}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
  WCHAR _var##_buffer[_size];                    \
  UNICODE_STRING _var = {0, (USHORT)((_size) * sizeof(WCHAR)), _var##_buffer}

// ---- Time -------------------------------------------------------------------------------
typedef struct _TIME_FIELDS {
  CSHORT Year;  // 1601...
  CSHORT Month;  // 1..12
  CSHORT Day;  // 1..31
  CSHORT Hour;  // 0..23
  CSHORT Minute;  // 0..59
  CSHORT Second;  // 0..59
  CSHORT Milliseconds;  // 0..999
  CSHORT Weekday;  // 0..6 = Sunday..Saturday
} TIME_FIELDS, *PTIME_FIELDS;

// ---- Registry shortcuts -----------------------------------------------------------------
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                                  PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

NT_EXTERN_C_BEGIN

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
void NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
void NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PCHAR String);
NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);

NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);
NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength);
NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment);

void NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);

NT_EXTERN_C_END
