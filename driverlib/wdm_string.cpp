// Owned counted strings: allocation, assignment, growth, concatenation and copy-out,
// all bounded by UNICODE_STRING's 16-bit byte counts.
#include "wdm_string.h"

namespace {

// The largest byte count a UNICODE_STRING can describe, in whole characters.
const ULONG kMaxStringBytes = 0xFFFE;

ULONG TextBytes(PCWSTR text) {
  ULONG n = 0;
  if (text) {
    while (text[n]) ++n;
  }
  return n * sizeof(WCHAR);
}

}  // namespace

WdmString::WdmString() : OwnsBuffer(FALSE) {
  String.Length = 0;
  String.MaximumLength = 0;
  String.Buffer = NULL;
}

WdmString::~WdmString() { Free(); }

void WdmString::Free() {
  if (OwnsBuffer) WdmFree(String.Buffer);
  // MaximumLength goes too, owned or not: a stale capacity over a null buffer would let
  // a later Assign write through it.
  String.Length = 0;
  String.MaximumLength = 0;
  String.Buffer = NULL;
  OwnsBuffer = FALSE;
}

void WdmString::Attach(PWCH buffer, USHORT lengthBytes, USHORT maximumBytes) {
  Free();
  String.Buffer = buffer;
  String.MaximumLength = (USHORT)(maximumBytes & ~1u);
  String.Length = (USHORT)(lengthBytes & ~1u);
  if (String.Length > String.MaximumLength) String.Length = String.MaximumLength;
}

NTSTATUS WdmString::Allocate(ULONG bytes, POOL_TYPE pool) {
  bytes &= ~(ULONG)(sizeof(WCHAR) - 1);
  if (bytes > kMaxStringBytes) return STATUS_INVALID_PARAMETER;
  if (bytes == 0) {
    Free();
    return STATUS_SUCCESS;
  }
  // The old buffer stays until the new one exists, so a failure changes nothing.
  PWCH buffer = (PWCH)WdmAllocate(bytes, pool);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  Free();
  buffer[0] = UNICODE_NULL;
  String.Buffer = buffer;
  String.MaximumLength = (USHORT)bytes;
  OwnsBuffer = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS WdmString::Assign(PCUNICODE_STRING text) {
  ULONG bytes = text ? (text->Length & ~1u) : 0;
  if (bytes > String.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  if (bytes) RtlMoveMemory(String.Buffer, text->Buffer, bytes);
  String.Length = (USHORT)bytes;
  if (bytes + sizeof(WCHAR) <= String.MaximumLength) String.Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
  return STATUS_SUCCESS;
}

NTSTATUS WdmString::Assign(PCWSTR text) {
  ULONG bytes = TextBytes(text);
  if (bytes > String.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  UNICODE_STRING s;
  s.Length = s.MaximumLength = (USHORT)bytes;
  s.Buffer = (PWCH)text;
  return Assign(&s);
}

NTSTATUS WdmString::Grow(ULONG extraBytes, POOL_TYPE pool) {
  ULONG bytes = ((ULONG)String.MaximumLength + (extraBytes & ~1u));
  if (extraBytes > kMaxStringBytes || bytes > kMaxStringBytes) return STATUS_NAME_TOO_LONG;
  if (bytes == 0) return STATUS_SUCCESS;
  PWCH buffer = (PWCH)WdmAllocate(bytes, pool);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  USHORT length = String.Length;
  if (length) RtlCopyMemory(buffer, String.Buffer, length);
  if (length + sizeof(WCHAR) <= bytes) buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
  Free();
  String.Buffer = buffer;
  String.Length = length;
  String.MaximumLength = (USHORT)bytes;
  OwnsBuffer = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS WdmString::Concatenate(PCUNICODE_STRING prefix, PCUNICODE_STRING text, POOL_TYPE pool) {
  ULONG prefixBytes = prefix ? (prefix->Length & ~1u) : 0;
  ULONG textBytes = text ? (text->Length & ~1u) : 0;
  ULONG bytes = prefixBytes + textBytes + sizeof(WCHAR);
  if (bytes > kMaxStringBytes) return STATUS_NAME_TOO_LONG;
  // Built beside the old buffer, which may be one of the parts.
  PWCH buffer = (PWCH)WdmAllocate(bytes, pool);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  if (prefixBytes) RtlCopyMemory(buffer, prefix->Buffer, prefixBytes);
  if (textBytes) RtlCopyMemory((PUCHAR)buffer + prefixBytes, text->Buffer, textBytes);
  buffer[(prefixBytes + textBytes) / sizeof(WCHAR)] = UNICODE_NULL;
  Free();
  String.Buffer = buffer;
  String.Length = (USHORT)(prefixBytes + textBytes);
  String.MaximumLength = (USHORT)bytes;
  OwnsBuffer = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS WdmString::Concatenate(PCWSTR prefix, PCWSTR text, POOL_TYPE pool) {
  ULONG prefixBytes = TextBytes(prefix);
  ULONG textBytes = TextBytes(text);
  if (prefixBytes > kMaxStringBytes || textBytes > kMaxStringBytes) return STATUS_NAME_TOO_LONG;
  UNICODE_STRING p, t;
  p.Length = p.MaximumLength = (USHORT)prefixBytes;
  p.Buffer = (PWCH)prefix;
  t.Length = t.MaximumLength = (USHORT)textBytes;
  t.Buffer = (PWCH)text;
  return Concatenate(&p, &t, pool);
}

NTSTATUS WdmString::CopyTo(PWCHAR buffer, ULONG bufferBytes) const {
  // The terminator needs a whole character after the text, so an odd byte left over
  // after the text is not room enough.
  if (!buffer || bufferBytes < (ULONG)String.Length + sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
  if (String.Length) RtlCopyMemory(buffer, String.Buffer, String.Length);
  buffer[String.Length / sizeof(WCHAR)] = UNICODE_NULL;
  return STATUS_SUCCESS;
}
