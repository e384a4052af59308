// Counted-string routines of the run-time library: init, copy, append, compare, case,
// ANSI <-> Unicode conversion, integers and GUIDs. Every write stays inside MaximumLength.
#include "nt/rtl.h"
#include "nt/ex.h"
#include "pool.h"
#include "verifier.h"


namespace {

using sim::kernel::pool::Allocate;

// Pool tag of strings the library allocates for its caller ("Strg").
constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ((ULONG)'g' << 24);
// Largest even byte count a counted Unicode string can describe.
constexpr ULONG kMaxUnicodeBytes = 0xFFFE;

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

size_t NarrowLength(PCSZ s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

char UpcaseAnsi(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

// Digit value of a character in any base up to 16, or 16 for "not a digit".
ULONG DigitValue(ULONG c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

// Shared parser of RtlCharToInteger and RtlUnicodeStringToInteger: leading blanks, a
// sign, a 0x/0o/0b prefix when the base is 0, then digits up to the first non-digit.
template <typename Ch>
NTSTATUS ParseInteger(const Ch* s, size_t n, ULONG base, PULONG value) {
  if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  if (value == nullptr) return STATUS_ACCESS_VIOLATION;
  size_t i = 0;
  while (i < n && (ULONG)s[i] <= ' ' && s[i] != 0) ++i;
  bool negative = false;
  if (i < n && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
  }
  if (base == 0) {
    base = 10;
    if (i + 1 < n && s[i] == '0') {
      Ch p = s[i + 1];
      if (p == 'x') base = 16;
      else if (p == 'o') base = 8;
      else if (p == 'b') base = 2;
      if (base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < n && s[i] != 0; ++i) {
    ULONG d = DigitValue((ULONG)s[i]);
    if (d >= base) break;
    result = result * base + d;
  }
  *value = negative ? (ULONG)(0u - result) : result;
  return STATUS_SUCCESS;
}

// Digits of `value` in `base`, most significant first; returns the count.
ULONG FormatInteger(ULONG value, ULONG base, char* out) {
  char tmp[33];
  ULONG n = 0;
  do {
    ULONG d = value % base;
    tmp[n++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
    value /= base;
  } while (value != 0);
  for (ULONG i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

bool HexField(PCWSTR s, int digits, ULONG* out) {
  ULONG v = 0;
  for (int i = 0; i < digits; ++i) {
    ULONG d = DigitValue(s[i]);
    if (d >= 16) return false;
    v = (v << 4) | d;
  }
  *out = v;
  return true;
}

}  // namespace

extern "C" {

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c) {
  ULONG u = c;
  if (u < 'a') return c;
  if (u <= 'z') return (WCHAR)(u - 0x20);
  if (u < 0xE0) return u == 0xB5 ? (WCHAR)0x39C : c;
  if (u <= 0xFE) return u == 0xF7 ? c : (WCHAR)(u - 0x20);
  if (u == 0xFF) return (WCHAR)0x178;
  // Latin Extended-A: pairs with the capital on the even code point, except the ranges
  // that pair the other way round.
  if (u >= 0x100 && u <= 0x17F) {
    if (u == 0x131) return (WCHAR)'I';
    if (u == 0x17F) return (WCHAR)'S';
    bool oddCapitals = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
    if (oddCapitals) return (u % 2 == 0) ? (WCHAR)(u - 1) : c;
    if (u == 0x138 || u == 0x149) return c;
    return (u % 2 == 1) ? (WCHAR)(u - 1) : c;
  }
  if (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) return (WCHAR)(u - 0x20);
  if (u >= 0x430 && u <= 0x44F) return (WCHAR)(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return (WCHAR)(u - 0x50);
  if (u >= 0xFF41 && u <= 0xFF5A) return (WCHAR)(u - 0x20);  // fullwidth latin
  return c;
}

WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR c) {
  ULONG u = c;
  if (u >= 'A' && u <= 'Z') return (WCHAR)(u + 0x20);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return (WCHAR)(u + 0x20);
  if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return (WCHAR)(u + 0x20);
  if (u >= 0x410 && u <= 0x42F) return (WCHAR)(u + 0x20);
  if (u >= 0x400 && u <= 0x40F) return (WCHAR)(u + 0x50);
  if (u >= 0xFF21 && u <= 0xFF3A) return (WCHAR)(u + 0x20);
  return c;
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) bytes = kMaxUnicodeBytes - sizeof(WCHAR);
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t n = NarrowLength(SourceString);
  if (n > 0xFFFE) n = 0xFFFE;
  DestinationString->Length = (USHORT)n;
  DestinationString->MaximumLength = (USHORT)(n + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

void NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1;
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

void NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = SourceString->Length;
  if (n > DestinationString->MaximumLength) n = DestinationString->MaximumLength;
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  USHORT add = Source->Length;
  if (add == 0) return STATUS_SUCCESS;
  ULONG total = (ULONG)Destination->Length + add;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  RtlMoveMemory((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, add);
  Destination->Length = (USHORT)total;
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return (LONG)a - (LONG)b;
  }
  return (LONG)n1 - (LONG)n2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
  size_t n = String1->Length < String2->Length ? String1->Length : String2->Length;
  for (size_t i = 0; i < n; ++i) {
    char a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = UpcaseAnsi(a);
      b = UpcaseAnsi(b);
    }
    if (a != b) return (LONG)(UCHAR)a - (LONG)(UCHAR)b;
  }
  return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  USHORT bytes = SourceString->Length;
  if (AllocateDestinationString) {
    DestinationString->Buffer = (PWSTR)Allocate(PagedPool, bytes ? bytes : sizeof(WCHAR), kStringTag, SIM_CALLER());
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = bytes;
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < bytes / sizeof(WCHAR); ++i) {
    DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
  }
  DestinationString->Length = bytes;
  return STATUS_SUCCESS;
}

// The simulated PC's ANSI code page maps bytes to the first 256 code points; characters
// beyond it become '?' as the default character of a real code page would.
ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
  return ((ULONG)AnsiString->Length + 1) * sizeof(WCHAR);
}

ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
  return UnicodeString->Length / sizeof(WCHAR) + 1;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  ULONG bytes = (ULONG)SourceString->Length * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    DestinationString->Buffer = (PWSTR)Allocate(PagedPool, bytes + sizeof(WCHAR), kStringTag, SIM_CALLER());
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < SourceString->Length; ++i) DestinationString->Buffer[i] = (UCHAR)SourceString->Buffer[i];
  DestinationString->Length = (USHORT)bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  ULONG chars = SourceString->Length / sizeof(WCHAR);
  ULONG needed = chars + 1;
  if (needed > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    DestinationString->Buffer = (PCHAR)Allocate(PagedPool, needed, kStringTag, SIM_CALLER());
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = (USHORT)needed;
  } else if (needed > DestinationString->MaximumLength) {
    // Converts what fits (with its terminator) and reports the overflow.
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    chars = DestinationString->MaximumLength - 1u;
    status = STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c <= 0xFF ? (CHAR)c : '?';
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = (USHORT)chars;
  return status;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) sim::kernel::pool::Free(UnicodeString->Buffer, kStringTag, true, SIM_CALLER());
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr) sim::kernel::pool::Free(AnsiString->Buffer, kStringTag, true, SIM_CALLER());
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PCHAR String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  ULONG n = FormatInteger(Value, Base, digits);
  ULONG room = OutputLength < 0 ? 0 : (ULONG)OutputLength;
  if (n > room) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < n; ++i) String[i] = digits[i];
  if (n < room) String[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
  return ParseInteger(String, NarrowLength(String), Base, Value);
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  return ParseInteger(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  ULONG n = FormatInteger(Value, Base, digits);
  if (n * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < n; ++i) String->Buffer[i] = (WCHAR)digits[i];
  String->Length = (USHORT)(n * sizeof(WCHAR));
  if ((n + 1) * sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", exactly, hex digits of either case.
NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
  if (GuidString->Length != 38 * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  PCWSTR s = GuidString->Buffer;
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}') {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG d1, d2, d3, b;
  if (!HexField(s + 1, 8, &d1) || !HexField(s + 10, 4, &d2) || !HexField(s + 15, 4, &d3)) {
    return STATUS_INVALID_PARAMETER;
  }
  GUID g;
  g.Data1 = d1;
  g.Data2 = (USHORT)d2;
  g.Data3 = (USHORT)d3;
  static const int kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!HexField(s + kByteAt[i], 2, &b)) return STATUS_INVALID_PARAMETER;
    g.Data4[i] = (UCHAR)b;
  }
  *Guid = g;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  constexpr ULONG kChars = 38;
  PWSTR buf = (PWSTR)Allocate(PagedPool, (kChars + 1) * sizeof(WCHAR), kStringTag, SIM_CALLER());
  if (buf == nullptr) return STATUS_NO_MEMORY;
  static const char kHex[] = "0123456789ABCDEF";
  ULONG pos = 0;
  auto put = [&](ULONGLONG v, int digits) {
    for (int i = digits - 1; i >= 0; --i) buf[pos++] = (WCHAR)kHex[(v >> (i * 4)) & 0xF];
  };
  buf[pos++] = '{';
  put(Guid.Data1, 8);
  buf[pos++] = '-';
  put(Guid.Data2, 4);
  buf[pos++] = '-';
  put(Guid.Data3, 4);
  buf[pos++] = '-';
  put(Guid.Data4[0], 2);
  put(Guid.Data4[1], 2);
  buf[pos++] = '-';
  for (int i = 2; i < 8; ++i) put(Guid.Data4[i], 2);
  buf[pos++] = '}';
  buf[pos] = 0;
  GuidString->Buffer = buf;
  GuidString->Length = (USHORT)(kChars * sizeof(WCHAR));
  GuidString->MaximumLength = (USHORT)((kChars + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

}  // extern "C"
