// Run-time library: counted strings never write past MaximumLength and report short
// buffers as documented; numbers, GUIDs, case, lists and calendar time convert right.
#include <wdm.h>

#include <cstring>
#include <string>

#include "kernel_fixture.h"

using sim::kernel::testing::BootedKernel;

namespace {

constexpr UCHAR kGuard = 0xA5;

std::string Narrow(const WCHAR* p, size_t chars) {
  std::string s;
  for (size_t i = 0; i < chars; ++i) s += (char)p[i];
  return s;
}

UNICODE_STRING Dst(void* buffer, USHORT max, const WCHAR* prefix = nullptr) {
  UNICODE_STRING u{0, max, static_cast<PWSTR>(buffer)};
  for (; prefix && *prefix; ++prefix) {
    u.Buffer[u.Length / 2] = *prefix;
    u.Length += 2;
  }
  return u;
}

// Each case writes into a destination of `max` bytes followed by guard bytes.
struct StringCase {
  const char* name;
  USHORT max;
  NTSTATUS (*run)(void* buffer, USHORT max, USHORT* length);
  NTSTATUS status;
  const char* text;  // expected content up to Length
  bool wide;  // Unicode destination (else ANSI)
  bool terminated;  // a NUL right after Length
};
void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

UNICODE_STRING kHello = RTL_CONSTANT_STRING(L"hello");
UNICODE_STRING kCde = RTL_CONSTANT_STRING(L"cde");
UNICODE_STRING kAbc = RTL_CONSTANT_STRING(L"abc");
UNICODE_STRING kAbcd = RTL_CONSTANT_STRING(L"abcd");
ANSI_STRING kAnsiAbc = RTL_CONSTANT_STRING("abc");

NTSTATUS Copy(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max);
  RtlCopyUnicodeString(&d, &kHello);
  *len = d.Length;
  return STATUS_SUCCESS;
}
NTSTATUS AppendString(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max, L"ab");
  NTSTATUS st = RtlAppendUnicodeStringToString(&d, &kCde);
  *len = d.Length;
  return st;
}
NTSTATUS AppendWide(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max, L"ab");
  NTSTATUS st = RtlAppendUnicodeToString(&d, L"cde");
  *len = d.Length;
  return st;
}
NTSTATUS Upcase(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max);
  NTSTATUS st = RtlUpcaseUnicodeString(&d, &kAbc, FALSE);
  *len = d.Length;
  return st;
}
NTSTATUS AnsiToUnicode(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max);
  NTSTATUS st = RtlAnsiStringToUnicodeString(&d, &kAnsiAbc, FALSE);
  *len = d.Length;
  return st;
}
NTSTATUS UnicodeToAnsi(void* b, USHORT max, USHORT* len) {
  ANSI_STRING d{0, max, static_cast<PCHAR>(b)};
  NTSTATUS st = RtlUnicodeStringToAnsiString(&d, &kAbcd, FALSE);
  *len = d.Length;
  return st;
}
NTSTATUS IntegerToUnicode(void* b, USHORT max, USHORT* len) {
  UNICODE_STRING d = Dst(b, max);
  NTSTATUS st = RtlIntegerToUnicodeString(12345, 10, &d);
  *len = d.Length;
  return st;
}
NTSTATUS IntegerToChar(void* b, USHORT max, USHORT* len) {
  NTSTATUS st = RtlIntegerToChar(255, 16, max, static_cast<PCHAR>(b));
  *len = NT_SUCCESS(st) ? 2 : 0;
  return st;
}

const StringCase kStringCases[] = {
    {"CopyTruncatesToMaximum", 6, Copy, STATUS_SUCCESS, "hel", true, false},
    {"CopyExactFitHasNoTerminator", 10, Copy, STATUS_SUCCESS, "hello", true, false},
    {"CopyTerminatesWhenRoom", 12, Copy, STATUS_SUCCESS, "hello", true, true},
    {"AppendStringTooSmallLeavesDestination", 8, AppendString, STATUS_BUFFER_TOO_SMALL, "ab", true, false},
    {"AppendStringExactFit", 10, AppendString, STATUS_SUCCESS, "abcde", true, false},
    {"AppendWideTooSmallOddMaximum", 9, AppendWide, STATUS_BUFFER_TOO_SMALL, "ab", true, false},
    {"AppendWideTerminatesWhenRoom", 12, AppendWide, STATUS_SUCCESS, "abcde", true, true},
    {"UpcaseOverflow", 4, Upcase, STATUS_BUFFER_OVERFLOW, "", true, false},
    {"UpcaseExactFit", 6, Upcase, STATUS_SUCCESS, "ABC", true, false},
    {"AnsiToUnicodeOverflow", 4, AnsiToUnicode, STATUS_BUFFER_OVERFLOW, "", true, false},
    {"AnsiToUnicodeNoRoomForNul", 6, AnsiToUnicode, STATUS_SUCCESS, "abc", true, false},
    {"AnsiToUnicodeTerminates", 8, AnsiToUnicode, STATUS_SUCCESS, "abc", true, true},
    {"UnicodeToAnsiTruncatesWithNul", 3, UnicodeToAnsi, STATUS_BUFFER_OVERFLOW, "ab", false, true},
    {"UnicodeToAnsiFits", 5, UnicodeToAnsi, STATUS_SUCCESS, "abcd", false, true},
    {"IntegerToUnicodeOverflow", 8, IntegerToUnicode, STATUS_BUFFER_OVERFLOW, "", true, false},
    {"IntegerToUnicodeExactFit", 10, IntegerToUnicode, STATUS_SUCCESS, "12345", true, false},
    {"IntegerToCharOverflow", 1, IntegerToChar, STATUS_BUFFER_OVERFLOW, "", false, false},
    {"IntegerToCharExactFit", 2, IntegerToChar, STATUS_SUCCESS, "FF", false, false},
};

class RtlStringIntoShortBuffer : public BootedKernel, public ::testing::WithParamInterface<StringCase> {};

TEST_P(RtlStringIntoShortBuffer, ReportsAndNeverOverruns) {
  const StringCase& c = GetParam();
  alignas(8) UCHAR buffer[64];
  memset(buffer, kGuard, sizeof buffer);
  USHORT length = 0xFFFF;
  EXPECT_EQ(c.run(buffer, c.max, &length), c.status);
  size_t unit = c.wide ? 2 : 1;
  ASSERT_EQ(length, strlen(c.text) * unit);
  std::string got = c.wide ? Narrow((const WCHAR*)buffer, length / 2) : std::string((const char*)buffer, length);
  EXPECT_EQ(got, c.text);
  if (c.terminated) {
    EXPECT_EQ(buffer[length], 0);
    if (c.wide) {
      EXPECT_EQ(buffer[length + 1], 0);
    }
  }
  for (size_t i = c.max; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], kGuard) << "overrun at byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, RtlStringIntoShortBuffer, ::testing::ValuesIn(kStringCases),
                         [](const auto& info) { return std::string(info.param.name); });

using Rtl = BootedKernel;

TEST_F(Rtl, ParsesIntegersWithSignBaseAndPrefix) {
  struct {
    const char* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
  } cases[] = {
      {"  -12", 0, STATUS_SUCCESS, 0xFFFFFFF4u}, {"0x1F", 0, STATUS_SUCCESS, 31}, {"0o17", 0, STATUS_SUCCESS, 15},
      {"0b101", 0, STATUS_SUCCESS, 5},           {"1f", 16, STATUS_SUCCESS, 31},  {"12abc", 10, STATUS_SUCCESS, 12},
      {"+7", 8, STATUS_SUCCESS, 7},              {"10", 3, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    ULONG v = 0;
    EXPECT_EQ(RtlCharToInteger(c.text, c.base, &v), c.status) << c.text;
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  // The Unicode form stops at Length, not at a terminator.
  WCHAR digits[] = L"12345";
  UNICODE_STRING s{4, sizeof digits, digits};
  ULONG v = 0;
  ASSERT_EQ(RtlUnicodeStringToInteger(&s, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 12u);
}

TEST_F(Rtl, GuidRoundTripsAndRejectsMalformedText) {
  const GUID g = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  UNICODE_STRING text{};
  ASSERT_EQ(RtlStringFromGUID(g, &text), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(text.Buffer, text.Length / 2), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
  EXPECT_EQ(text.Buffer[text.Length / 2], 0);
  GUID back{};
  ASSERT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(&back, &g, sizeof g), 0);
  RtlFreeUnicodeString(&text);
  EXPECT_EQ(text.Buffer, nullptr);

  const WCHAR* bad[] = {L"4D36E978-E325-11CE-BFC1-08002BE10318", L"{4D36E978-E325-11CE-BFC1-08002BE1031}",
                        L"{4D36E978-E325-11CE-BFC1-08002BE1031G}", L"{4D36E978-E325-11CE+BFC1-08002BE10318}"};
  for (const WCHAR* b : bad) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, b);
    EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_INVALID_PARAMETER) << Narrow(b, s.Length / 2);
  }
}

TEST_F(Rtl, ComparesWithAndWithoutCase) {
  struct {
    const WCHAR* a;
    const WCHAR* b;
    bool caseInsensitive;
    int sign;
  } cases[] = {
      {L"Services", L"SERVICES", true, 0},   {L"Services", L"SERVICES", false, 1},
      {L"Port", L"Ports", true, -1},         {L"\u00E9t\u00E9", L"\u00C9T\u00C9", true, 0},
      {L"\u0436", L"\u0416", true, 0},       {L"abc", L"abd", true, -1},
  };
  for (const auto& c : cases) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, c.a);
    RtlInitUnicodeString(&b, c.b);
    LONG r = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << Narrow(c.a, a.Length / 2);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.sign == 0);
  }
}

TEST_F(Rtl, AllocatingConversionsTerminateAndFreeToNothing) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "COM5");
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(u.Length, 8);
  EXPECT_EQ(u.MaximumLength, 10);
  EXPECT_EQ(u.Buffer[4], 0);
  ANSI_STRING back;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(back.Buffer, "COM5");
  EXPECT_EQ(back.Length, 4);
  RtlFreeUnicodeString(&u);
  RtlFreeAnsiString(&back);
  EXPECT_EQ(u.Buffer, nullptr);
  EXPECT_EQ(back.MaximumLength, 0);
}

struct Item {
  LIST_ENTRY link;
  int id;
};

TEST_F(Rtl, ListsKeepOrderAndReportEmptying) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  Item items[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
  InsertTailList(&head, &items[1].link);
  InsertHeadList(&head, &items[0].link);
  InsertTailList(&head, &items[2].link);
  EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->id, 1);
  EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Item, link)->id, 3);
  EXPECT_TRUE(RemoveEntryList(&items[1].link));
  EXPECT_TRUE(IsListEmpty(&head));

  SINGLE_LIST_ENTRY stack{nullptr}, a, b;
  PushEntryList(&stack, &a);
  PushEntryList(&stack, &b);
  EXPECT_EQ(PopEntryList(&stack), &b);
  EXPECT_EQ(PopEntryList(&stack), &a);
  EXPECT_EQ(PopEntryList(&stack), nullptr);
}

void RemoveTwice() {
  LIST_ENTRY head;
  Item x{{}, 1}, y{{}, 2};
  InitializeListHead(&head);
  InsertTailList(&head, &x.link);
  InsertTailList(&head, &y.link);
  RemoveEntryList(&x.link);
  InsertTailList(&head, &x.link);
  RemoveEntryList(&y.link);
  RemoveEntryList(&y.link);  // y's links are stale now
}

TEST_F(Rtl, EntryRemovedTwiceStopsTheMachine) { EXPECT_DEATH(RemoveTwice(), "STOP 0x00000139 \\(0x3,"); }

TEST_F(Rtl, TimeFieldsConvertBothWays) {
  TIME_FIELDS f = {2000, 2, 29, 13, 45, 30, 250, 0};
  LARGE_INTEGER t;
  ASSERT_TRUE(RtlTimeFieldsToTime(&f, &t));
  // 2000-01-01 00:00 is 125911584000000000 in 100 ns units since 1601.
  EXPECT_EQ(t.QuadPart, 125911584000000000LL + (59LL * 86400 + 13 * 3600 + 45 * 60 + 30) * 10000000 + 2500000);
  TIME_FIELDS back;
  RtlTimeToTimeFields(&t, &back);
  EXPECT_EQ(back.Year, 2000);
  EXPECT_EQ(back.Month, 2);
  EXPECT_EQ(back.Day, 29);
  EXPECT_EQ(back.Hour, 13);
  EXPECT_EQ(back.Milliseconds, 250);
  EXPECT_EQ(back.Weekday, 2);  // a Tuesday

  TIME_FIELDS bad[] = {{1999, 2, 29, 0, 0, 0, 0, 0}, {2001, 13, 1, 0, 0, 0, 0, 0}, {1600, 1, 1, 0, 0, 0, 0, 0},
                       {2001, 4, 31, 0, 0, 0, 0, 0}, {2001, 1, 1, 24, 0, 0, 0, 0}};
  for (TIME_FIELDS& b : bad) EXPECT_FALSE(RtlTimeFieldsToTime(&b, &t)) << b.Year << "-" << b.Month << "-" << b.Day;
}

}  // namespace
