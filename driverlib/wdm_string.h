// Owned counted strings of the driver class library: a UNICODE_STRING whose buffer the
// object may own (pool tag "Wdm "), with the few operations the drivers need.
#pragma once

#include "wdm_base.h"

class WdmString {
 public:
  UNICODE_STRING String;
  BOOLEAN OwnsBuffer;

  WdmString();
  ~WdmString();
  WdmString(const WdmString&) = delete;
  WdmString& operator=(const WdmString&) = delete;

  // A fresh owned buffer of `bytes` rounded down to whole characters, empty text.
  NTSTATUS Allocate(ULONG bytes, POOL_TYPE pool = NonPagedPool);
  // Copies text into the current buffer; STATUS_BUFFER_TOO_SMALL when it does not fit.
  NTSTATUS Assign(PCWSTR text);
  NTSTATUS Assign(PCUNICODE_STRING text);
  // Adds `extraBytes` of room, keeping the text.
  NTSTATUS Grow(ULONG extraBytes, POOL_TYPE pool = NonPagedPool);
  // prefix + text into a fresh owned buffer (NUL-terminated); either may be this string.
  NTSTATUS Concatenate(PCUNICODE_STRING prefix, PCUNICODE_STRING text, POOL_TYPE pool = NonPagedPool);
  NTSTATUS Concatenate(PCWSTR prefix, PCWSTR text, POOL_TYPE pool = NonPagedPool);
  // Text plus NUL into a caller's buffer of `bufferBytes` bytes.
  NTSTATUS CopyTo(PWCHAR buffer, ULONG bufferBytes) const;
  // Points at caller memory without owning it (a previous owned buffer is freed).
  void Attach(PWCH buffer, USHORT lengthBytes, USHORT maximumBytes);
  void Free();

  PUNICODE_STRING Get() { return &String; }
  PCUNICODE_STRING Get() const { return &String; }
  USHORT Length() const { return String.Length; }
  PWCH Buffer() const { return String.Buffer; }
};
