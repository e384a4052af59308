// Tests of WdmString: capacity rounding, assignment and copy-out bounds, growth and
// concatenation keeping text, and every allocation failure leaving the string intact.
#include <string>

#include "kernel_fixture.h"
#include "pool.h"
#include "wdm_string.h"

namespace {

namespace pool = sim::kernel::pool;

class WdmStringTest : public sim::kernel::testing::BootedKernel {
 protected:
  void TearDown() override {
    pool::ClearFaults();
    EXPECT_EQ(pool::LeakReport(), "");
    BootedKernel::TearDown();
  }
};

std::u16string Text(const WdmString& s) {
  return std::u16string((const char16_t*)s.String.Buffer, s.String.Length / sizeof(WCHAR));
}

struct AllocateCase {
  ULONG bytes;
  NTSTATUS status;
  USHORT maximum;
};

TEST_F(WdmStringTest, AllocateRoundsDownToWholeCharacters) {
  const AllocateCase cases[] = {
      {0, STATUS_SUCCESS, 0},          {1, STATUS_SUCCESS, 0},       {2, STATUS_SUCCESS, 2},
      {7, STATUS_SUCCESS, 6},          {0xFFFF, STATUS_SUCCESS, 0xFFFE},
      // Beyond what a UNICODE_STRING can count: refused, not truncated to a short buffer.
      {0x10000, STATUS_INVALID_PARAMETER, 0}, {0x10002, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    WdmString s;
    EXPECT_EQ(s.Allocate(c.bytes), c.status);
    EXPECT_EQ(s.String.MaximumLength, c.maximum);
    EXPECT_EQ(s.String.Length, 0);
    EXPECT_EQ(s.OwnsBuffer, c.maximum != 0);
    if (c.maximum) {
      // The whole capacity is writable (the sanitizer sees an overrun).
      s.String.Buffer[c.maximum / 2 - 1] = L'x';
    }
  }
}

TEST_F(WdmStringTest, ReallocatingFreesTheOldBuffer) {
  WdmString s;
  ASSERT_EQ(s.Allocate(40), STATUS_SUCCESS);
  ASSERT_EQ(s.Allocate(10, PagedPool), STATUS_SUCCESS);
  auto outstanding = pool::Outstanding();
  ASSERT_EQ(outstanding.size(), 1u);
  EXPECT_EQ(outstanding[0].size, 10u);
  EXPECT_EQ(outstanding[0].poolType, PagedPool);
  EXPECT_EQ(pool::TagText(outstanding[0].tag), "Wdm ");
}

struct AssignCase {
  ULONG capacity;
  const WCHAR* text;
  NTSTATUS status;
  const char16_t* result;
};

TEST_F(WdmStringTest, AssignFitsOrLeavesTheTextAlone) {
  const AssignCase cases[] = {
      {8, L"abc", STATUS_SUCCESS, u"abc"},             // room for the NUL too
      {6, L"abc", STATUS_SUCCESS, u"abc"},             // exactly fits, no NUL
      {4, L"abc", STATUS_BUFFER_TOO_SMALL, u"xy"},     // one character short
      {0, L"a", STATUS_BUFFER_TOO_SMALL, u""},         // no buffer at all
      {8, L"", STATUS_SUCCESS, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    WdmString s;
    ASSERT_EQ(s.Allocate(c.capacity), STATUS_SUCCESS);
    if (c.capacity >= 4) ASSERT_EQ(s.Assign(L"xy"), STATUS_SUCCESS);
    EXPECT_EQ(s.Assign(c.text), c.status);
    EXPECT_EQ(Text(s), c.result);
  }
}

TEST_F(WdmStringTest, AssignTerminatesWhenThereIsRoom) {
  WdmString s;
  ASSERT_EQ(s.Allocate(10), STATUS_SUCCESS);
  ASSERT_EQ(s.Assign(L"abcd"), STATUS_SUCCESS);
  ASSERT_EQ(s.Assign(L"ab"), STATUS_SUCCESS);
  EXPECT_EQ(s.String.Buffer[2], 0);
}

TEST_F(WdmStringTest, GrowKeepsTextAndAddsRoom) {
  WdmString s;
  ASSERT_EQ(s.Allocate(6), STATUS_SUCCESS);
  ASSERT_EQ(s.Assign(L"abc"), STATUS_SUCCESS);
  ASSERT_EQ(s.Grow(10), STATUS_SUCCESS);
  EXPECT_EQ(s.String.MaximumLength, 16);
  EXPECT_EQ(Text(s), u"abc");
  EXPECT_EQ(s.String.Buffer[3], 0);
  EXPECT_EQ(s.Assign(L"abcdefgh"), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"abcdefgh");
  EXPECT_EQ(pool::Outstanding().size(), 1u);
}

TEST_F(WdmStringTest, GrowOfABorrowedBufferTakesOwnershipOfACopy) {
  WCHAR borrowed[4] = {L'h', L'i', 0, 0};
  WdmString s;
  s.Attach(borrowed, 4, sizeof(borrowed));
  ASSERT_EQ(s.Grow(4), STATUS_SUCCESS);
  EXPECT_TRUE(s.OwnsBuffer);
  EXPECT_NE(s.String.Buffer, borrowed);
  EXPECT_EQ(Text(s), u"hi");
}

TEST_F(WdmStringTest, ConcatenateBuildsAFreshTerminatedBuffer) {
  WdmString s;
  ASSERT_EQ(s.Concatenate(L"\\Device\\", L"Q93KUsbDevice0"), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"\\Device\\Q93KUsbDevice0");
  EXPECT_EQ(s.String.Buffer[s.String.Length / 2], 0);
  // The string itself as a part: read before the old buffer goes.
  UNICODE_STRING prefix;
  RtlInitUnicodeString(&prefix, L"\\??\\");
  ASSERT_EQ(s.Concatenate(&prefix, s.Get()), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"\\??\\\\Device\\Q93KUsbDevice0");
  EXPECT_EQ(pool::Outstanding().size(), 1u);
}

struct CopyCase {
  ULONG bufferBytes;
  NTSTATUS status;
};

TEST_F(WdmStringTest, CopyToNeedsRoomForTheTerminator) {
  // "abc" is 6 bytes: the buffer must be longer than the text by a whole character.
  const CopyCase cases[] = {
      {0, STATUS_BUFFER_TOO_SMALL}, {6, STATUS_BUFFER_TOO_SMALL}, {7, STATUS_BUFFER_TOO_SMALL},
      {8, STATUS_SUCCESS},          {20, STATUS_SUCCESS},
  };
  WdmString s;
  ASSERT_EQ(s.Concatenate(L"ab", L"c"), STATUS_SUCCESS);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bufferBytes);
    WCHAR out[10];
    for (auto& w : out) w = L'#';
    EXPECT_EQ(s.CopyTo(out, c.bufferBytes), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(std::u16string((const char16_t*)out), u"abc");
      EXPECT_EQ(out[4], L'#');
    } else {
      EXPECT_EQ(out[0], L'#');
    }
  }
}

TEST_F(WdmStringTest, FreeClearsEvenABorrowedBuffer) {
  WCHAR borrowed[8] = {};
  WdmString s;
  s.Attach(borrowed, 0, sizeof(borrowed));
  s.Free();
  EXPECT_EQ(s.String.Buffer, nullptr);
  EXPECT_EQ(s.String.MaximumLength, 0);
  // No capacity left that a later assignment could write through.
  EXPECT_EQ(s.Assign(L"a"), STATUS_BUFFER_TOO_SMALL);
}

// Every allocation of each operation fails in turn: the operation reports it and the
// string keeps what it had.
TEST_F(WdmStringTest, AllocationFailuresKeepTheOldText) {
  struct Operation {
    const char* name;
    NTSTATUS (*run)(WdmString&);
  };
  const Operation operations[] = {
      {"allocate", [](WdmString& s) { return s.Allocate(32); }},
      {"grow", [](WdmString& s) { return s.Grow(8); }},
      {"concatenate", [](WdmString& s) { return s.Concatenate(L"pre", L"fix"); }},
  };
  for (const auto& op : operations) {
    SCOPED_TRACE(op.name);
    WdmString s;
    ASSERT_EQ(s.Concatenate(L"old", L""), STATUS_SUCCESS);
    pool::FailNth(1);
    EXPECT_EQ(op.run(s), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearFaults();
    EXPECT_EQ(Text(s), u"old");
    EXPECT_EQ(pool::Outstanding().size(), 1u);
  }
  EXPECT_EQ(pool::InjectedFailures(), 3u);
}

}  // namespace
