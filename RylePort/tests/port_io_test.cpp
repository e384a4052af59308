// Data through an open port as an application moves it: writes reaching the control
// driver, reads with their total and interval timeouts, cancel and purge of pending
// requests, refused writes, and cancel racing completion.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "port_fixture.h"

namespace {

using porttest::PortFixture;
using porttest::Request;

class PortIoTest : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    node = Plug();
  }
  sim::kernel::DeviceNode* node = nullptr;
};

TEST_F(PortIoTest, WriteComesBackAsAReadWithATotalTimeout) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 0, 0, 1000), STATUS_SUCCESS);
  auto w = StartWrite(h, "AT\r");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(w->iosb.Information, 3u);
  auto r = StartRead(h, 3);
  EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r->Text(), "AT\r");
  // DTR and RTS were raised through the channel at open.
  EXPECT_GE(control.LineControls, 2);
}

TEST_F(PortIoTest, ReadThatTimesOutReturnsWhatArrived) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 0, 0, 100), STATUS_SUCCESS);
  ULONGLONG start = sim::kernel::Now();
  auto r = StartRead(h, 10);
  EXPECT_EQ(Receive("ab"), 2u);
  EXPECT_EQ(r->Wait(), STATUS_TIMEOUT);
  EXPECT_EQ(r->Text(), "ab");
  EXPECT_GE(sim::kernel::Now() - start, 100ULL * 10000);
}

// Read timeouts as (interval, multiplier, constant): how a read of `length` on an empty
// port ends when nothing arrives.
struct TimeoutCase {
  const char* name;
  ULONG interval, multiplier, constant, length;
  NTSTATUS status;
  ULONG afterMs;  // virtual time until it completes
};

class PortReadTimeoutTest : public PortIoTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(PortReadTimeoutTest, EmptyPortEndsAsTheTimeoutsSay) {
  const TimeoutCase& c = GetParam();
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, c.interval, c.multiplier, c.constant), STATUS_SUCCESS);
  ULONGLONG start = sim::kernel::Now();
  auto r = StartRead(h, c.length);
  EXPECT_EQ(r->Wait(), c.status);
  EXPECT_EQ(r->iosb.Information, 0u);
  ULONGLONG took = sim::kernel::Now() - start;
  EXPECT_GE(took, (ULONGLONG)c.afterMs * 10000);
  EXPECT_LT(took, (ULONGLONG)c.afterMs * 10000 + 20 * 10000);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, PortReadTimeoutTest,
    ::testing::Values(TimeoutCase{"ReturnAtOnce", MAXULONG, 0, 0, 50, STATUS_SUCCESS, 0},
                      TimeoutCase{"FirstByteOrConstant", MAXULONG, MAXULONG, 100, 50, STATUS_TIMEOUT, 100},
                      TimeoutCase{"MultiplierTimesLengthPlusConstant", 0, 10, 1000, 100, STATUS_TIMEOUT, 2000},
                      TimeoutCase{"ConstantOnly", 0, 0, 250, 8, STATUS_TIMEOUT, 250}),
    [](const auto& info) { return std::string(info.param.name); });

// (MAXULONG, MAXULONG, constant): a read that waits gets the first byte alone; one that
// finds bytes in the ring gets all it asked for at once.
TEST_F(PortIoTest, FirstByteReadCompletesWithOneByte) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, MAXULONG, MAXULONG, 100), STATUS_SUCCESS);
  auto r = StartRead(h, 50);
  EXPECT_FALSE(r->Finished());
  Receive("xyzw");
  EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r->Text(), "x");
  auto next = StartRead(h, 2);
  EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(next->Text(), "yz");
  auto last = StartRead(h, 50);
  EXPECT_EQ(last->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(last->Text(), "w");
}

// With a total timeout of multiplier and constant, a read that found nothing ends with the
// first delivery, long before its timeout and without waiting to be filled.
TEST_F(PortIoTest, FirstBytesEndAReadWithATotalTimeout) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, MAXULONG, 10, 1000), STATUS_SUCCESS);
  auto r = StartRead(h, 64);
  sim::kernel::Sleep(50);
  ASSERT_FALSE(r->Finished());
  ULONGLONG sent = sim::kernel::Now();
  Receive("\r\nOK\r\n");
  EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r->Text(), "\r\nOK\r\n");
  EXPECT_LT(sim::kernel::Now() - sent, 10ULL * 10000);
}

TEST_F(PortIoTest, IntervalTimeoutStartsWithTheFirstByte) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 20, 0, 0), STATUS_SUCCESS);
  auto r = StartRead(h, 100);
  // Nothing arrived yet: no limit.
  sim::kernel::Sleep(1000);
  EXPECT_FALSE(r->Finished());
  Receive("abc");
  sim::kernel::Sleep(10);
  EXPECT_FALSE(r->Finished());
  Receive("de");
  ULONGLONG last = sim::kernel::Now();
  EXPECT_EQ(r->Wait(), STATUS_TIMEOUT);
  EXPECT_EQ(r->Text(), "abcde");
  ULONGLONG gap = sim::kernel::Now() - last;
  EXPECT_GE(gap, 20ULL * 10000);
  EXPECT_LT(gap, 40ULL * 10000);
}

// A pending read that something other than its data ends.
struct EndCase {
  const char* name;
  bool purge;  // PURGE_RXABORT, else CancelIo
};
class PortPendingReadTest : public PortIoTest, public ::testing::WithParamInterface<EndCase> {};

// The bytes the read had go back to the ring: the I/O manager copies nothing back for
// a cancelled request, so reporting them with it would lose them.
TEST_P(PortPendingReadTest, EndsCancelledAndKeepsItsBytesForTheNextRead) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 0, 0, 0), STATUS_SUCCESS);
  auto r = StartRead(h, 10);
  auto queued = StartRead(h, 10);
  Receive("hi");
  sim::kernel::Sleep(5);
  EXPECT_FALSE(r->Finished());
  if (GetParam().purge) {
    EXPECT_EQ(Purge(h, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  } else {
    EXPECT_EQ(sim::kernel::CancelIo(h), STATUS_SUCCESS);
  }
  EXPECT_EQ(r->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(r->iosb.Information, 0u);
  EXPECT_EQ(queued->Wait(), STATUS_CANCELLED);
  Receive("ok");
  auto next = StartRead(h, 4);
  EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(next->Text(), "hiok");
}

INSTANTIATE_TEST_SUITE_P(Ends, PortPendingReadTest,
                         ::testing::Values(EndCase{"CancelIo", false}, EndCase{"Purge", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortIoTest, LargeWriteReachesTheChannelInOrder) {
  control.Echo = FALSE;
  std::vector<UCHAR> sink(65536 + 16);
  control.Sink = sink.data();
  control.SinkCapacity = (ULONG)sink.size();
  HANDLE h = Open();
  std::vector<UCHAR> data(65536);
  for (size_t i = 0; i < data.size(); i++) data[i] = (UCHAR)(i * 7 + i / 256);
  auto w = StartWrite(h, data);
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(w->iosb.Information, data.size());
  ASSERT_EQ(control.SinkLength, 65536);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), sink.begin()));
  EXPECT_LE(control.LargestChunk, 4096u);
}

TEST_F(PortIoTest, WriteWaitsForCtsAndFlushFollowsIt) {
  control.RaiseCtsOnOpen = FALSE;
  HANDLE h = Open();
  Event(CHANNEL_EVENT_CTS_OFF);
  auto w = StartWrite(h, "data");
  sim::kernel::Sleep(100);
  EXPECT_FALSE(w->Finished());
  EXPECT_EQ(control.WriteCalls, 0);
  Event(CHANNEL_EVENT_CTS_ON);
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(control.WriteCalls, 1);
}

// Refused writes keep their bytes: a refusal is retried, and a write that is never
// taken ends with its timeout and nothing reported as written.
TEST_F(PortIoTest, RefusedWriteIsRetriedAndNothingIsLost) {
  control.Echo = FALSE;
  std::vector<UCHAR> sink(64);
  control.Sink = sink.data();
  control.SinkCapacity = (ULONG)sink.size();
  control.RefuseWrites = 3;
  HANDLE h = Open();
  auto w = StartWrite(h, "ATI\r");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(w->iosb.Information, 4u);
  EXPECT_EQ(std::string(sink.begin(), sink.begin() + control.SinkLength), "ATI\r");
  EXPECT_GE(control.WriteCalls, 4);
}

TEST_F(PortIoTest, WriteNeverTakenTimesOutWithNothingWritten) {
  control.RefuseWrites = -1;
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 0, 0, 0, 1, 200), STATUS_SUCCESS);
  auto w = StartWrite(h, "ATZ\r");
  EXPECT_EQ(w->Wait(), STATUS_TIMEOUT);
  EXPECT_EQ(w->iosb.Information, 0u);
}

// Timeouts far beyond 32 bits of 100 ns units must not wrap into a short one.
TEST_F(PortIoTest, LongTotalTimeoutsDoNotWrap) {
  control.RaiseCtsOnOpen = FALSE;
  HANDLE h = Open();
  Event(CHANNEL_EVENT_CTS_OFF);
  // 100 000 ms per byte: 6 553 600 s for the write, 6 553 600 s for the read.
  ASSERT_EQ(SetTimeouts(h, 0, 100000, 0, 100000, 0), STATUS_SUCCESS);
  auto w = StartWrite(h, std::vector<UCHAR>(65536, 'w'));
  auto r = StartRead(h, 65536);
  sim::kernel::Sleep(600 * 1000);
  EXPECT_FALSE(w->Finished());
  EXPECT_FALSE(r->Finished());
  EXPECT_EQ(sim::kernel::CancelIo(h), STATUS_SUCCESS);
  EXPECT_EQ(w->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(w->iosb.Information, 0u);
  EXPECT_EQ(r->Wait(), STATUS_CANCELLED);
}

// Reads that complete as bytes arrive, cancelled at the same moment from the reading
// thread: every read ends exactly once and every byte is delivered exactly once.
TEST_F(PortIoTest, CancelRacingCompletionLosesNothing) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 0, 0, 0), STATUS_SUCCESS);
  const int kRounds = 300;
  std::atomic<bool> stop{false};
  std::atomic<ULONG> sent{0};
  std::thread feeder([&] {
    sim::kernel::SetThreadName("feeder");
    while (!stop) {
      if (Receive("z") == 1) sent++;
      sim::kernel::Sleep(0);
    }
  });
  ULONG received = 0;
  int cancelled = 0;
  for (int i = 0; i < kRounds; i++) {
    auto r = StartRead(h, 3);
    if (i % 2) sim::kernel::Sleep(0);
    sim::kernel::CancelIo(h);
    NTSTATUS s = r->Wait();
    EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
    cancelled += s == STATUS_CANCELLED;
    if (s == STATUS_CANCELLED) {
      EXPECT_EQ(r->iosb.Information, 0u);
    }
    received += (ULONG)r->iosb.Information;
  }
  stop = true;
  sim::kernel::HostBlocking([&] { feeder.join(); });
  ASSERT_EQ(SetTimeouts(h, MAXULONG, 0, 0), STATUS_SUCCESS);
  auto rest = StartRead(h, 16384);
  EXPECT_EQ(rest->Wait(), STATUS_SUCCESS);
  received += (ULONG)rest->iosb.Information;
  EXPECT_EQ(received, sent.load());
  EXPECT_GT(cancelled, 0);
}

TEST_F(PortIoTest, WritesCancelledWhileSendingReportWhatWasTaken) {
  control.Echo = FALSE;
  std::vector<UCHAR> sink(1 << 20);
  control.Sink = sink.data();
  control.SinkCapacity = (ULONG)sink.size();
  HANDLE h = Open();
  ULONG reported = 0;
  for (int i = 0; i < 100; i++) {
    auto w = StartWrite(h, std::vector<UCHAR>(5000, 'q'));
    if (i % 3) sim::kernel::Sleep(0);
    sim::kernel::CancelIo(h);
    NTSTATUS s = w->Wait();
    EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
    reported += (ULONG)w->iosb.Information;
  }
  EXPECT_EQ(reported, (ULONG)control.SinkLength);
}

// Bad input: each request gets the status the port names for it.
struct BadCase {
  const char* name;
  ULONG code;
  std::vector<ULONG> in;
  ULONG inBytes, outBytes;
  NTSTATUS status;
};
class PortBadInputTest : public PortIoTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(PortBadInputTest, GetsItsStatus) {
  const BadCase& c = GetParam();
  HANDLE h = Open();
  std::vector<ULONG> in = c.in;
  in.resize(8);
  std::vector<UCHAR> out(64);
  EXPECT_EQ(Control(h, c.code, in.data(), c.inBytes, out.data(), c.outBytes), c.status);
  // The port keeps working.
  auto w = StartWrite(h, "k");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PortBadInputTest,
    ::testing::Values(
        BadCase{"SetTimeoutsShort", IOCTL_SERIAL_SET_TIMEOUTS, {0, 0, 0, 0, 0}, 19, 0, STATUS_BUFFER_TOO_SMALL},
        BadCase{"GetTimeoutsShort", IOCTL_SERIAL_GET_TIMEOUTS, {}, 0, 19, STATUS_BUFFER_TOO_SMALL},
        BadCase{"AllReadTimeoutsMax", IOCTL_SERIAL_SET_TIMEOUTS, {MAXULONG, MAXULONG, MAXULONG, 0, 0}, 20, 0,
                STATUS_INVALID_PARAMETER},
        BadCase{"PurgeShort", IOCTL_SERIAL_PURGE, {1}, 3, 0, STATUS_BUFFER_TOO_SMALL},
        BadCase{"PurgeZero", IOCTL_SERIAL_PURGE, {0}, 4, 0, STATUS_INVALID_PARAMETER},
        BadCase{"PurgeAboveMask", IOCTL_SERIAL_PURGE, {0x10}, 4, 0, STATUS_INVALID_PARAMETER},
        BadCase{"PurgeMixedAbove", IOCTL_SERIAL_PURGE, {0x1F}, 4, 0, STATUS_INVALID_PARAMETER},
        BadCase{"PurgeAll", IOCTL_SERIAL_PURGE, {0x0F}, 4, 0, STATUS_SUCCESS},
        BadCase{"UnknownCode", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 0, 0,
                STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortIoTest, TimeoutsReadBackAsSet) {
  HANDLE h = Open();
  ASSERT_EQ(SetTimeouts(h, 1, 2, 3, 4, 5), STATUS_SUCCESS);
  SERIAL_TIMEOUTS t{};
  ULONG_PTR n = 0;
  EXPECT_EQ(Control(h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, sizeof t);
  EXPECT_EQ(t.ReadIntervalTimeout, 1u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 4u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
}

TEST_F(PortIoTest, ZeroAndHugeLengths) {
  HANDLE h = Open();
  ULONG_PTR n = 99;
  UCHAR byte = 0;
  EXPECT_EQ(sim::kernel::Read(h, &byte, 0, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(sim::kernel::Write(h, &byte, 0, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(control.WriteCalls, 0);
  // A read far larger than the ring, returning at once with what is there.
  ASSERT_EQ(SetTimeouts(h, MAXULONG, 0, 0), STATUS_SUCCESS);
  Receive("tail");
  auto r = StartRead(h, 4 << 20);
  EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r->Text(), "tail");
  // The ring takes only what fits; the rest stays with the control driver.
  EXPECT_EQ(Receive(std::string(20000, 'r')), 16384u);
}

}  // namespace
