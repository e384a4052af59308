// ReadFile, WriteFile and DeviceIoControl through the test port: synchronous and
// overlapped, GetOverlappedResult with and without waiting, CancelIo, and the Win32
// error each completion status becomes.
#include <cstring>

#include "win32.h"
#include "win32_fixture.h"

using namespace w32test;

namespace {

constexpr DWORD kTestIoctl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Completes the oldest pended request after `ms` of virtual time, from a thread of its own.
struct LateCompletion {
  DWORD ms;
  std::string data;
  NTSTATUS status;
};

HANDLE CompleteLater(LateCompletion* c) {
  return CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* c = static_cast<LateCompletion*>(p);
        Sleep(c->ms);
        return CompletePending(c->data, c->status) ? 0 : 1;
      },
      c, 0, nullptr);
}

using RequestTest = Win32Fixture;

TEST_F(RequestTest, SynchronousWriteAndReadMoveTheBytes) {
  HANDLE h = OpenPort();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "ATI\r", 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  std::vector<Request> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(std::string(log[0].in.begin(), log[0].in.end()), "ATI\r");

  S().readData = "\r\nOK\r\n";
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, n), "\r\nOK");

  // A read the port ends by its timeout is a success with what arrived.
  S().readStatus = STATUS_TIMEOUT;
  memset(buf, 0, sizeof buf);
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(std::string(buf, n), "\r\n");
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
}

TEST_F(RequestTest, SynchronousReadWaitsForTheDriverInVirtualTime) {
  HANDLE h = OpenPort();  // not overlapped: ReadFile blocks until the data comes
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LateCompletion late{2500, "RING", STATUS_SUCCESS};
  HANDLE t = CompleteLater(&late);
  ULONGLONG start = GetTickCount64();
  char buf[8];
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "RING");
  EXPECT_EQ(GetTickCount64() - start, 2500u);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);

  // An OVERLAPPED given on a synchronous handle still reports through it, after the wait.
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LateCompletion late2{100, "OK", STATUS_SUCCESS};
  t = CompleteLater(&late2);
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(ov.InternalHigh, 2u);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(RequestTest, OverlappedReadPendsAndGetOverlappedResultCollectsIt) {
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: the request must clear it
  char buf[8] = {};
  DWORD n = 77;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

  LateCompletion late{5000, "hello", STATUS_SUCCESS};
  HANDLE t = CompleteLater(&late);
  ULONGLONG start = GetTickCount64();
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetTickCount64() - start, 5000u);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, n), "hello");
  EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);

  // Completed at once: TRUE with the count, and the event set all the same.
  S().readData = "xy";
  ResetEvent(ov.hEvent);
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(RequestTest, OverlappedWriteWithoutEventSignalsTheHandle) {
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};  // no event: the file handle's own completion serves
  char buf[4];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  LateCompletion late{10, "abc", STATUS_SUCCESS};
  HANDLE t = CompleteLater(&late);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 3u);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  OVERLAPPED wr{};
  ASSERT_TRUE(WriteFile(h, "AT\r", 3, &n, &wr));
  EXPECT_EQ(n, 3u);
  CloseHandle(h);
}

TEST_F(RequestTest, CancelIoEndsOnlyTheCallingThreadsRequests) {
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buf[8];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);

  struct Other {
    HANDLE file;
    BOOL result;
  } other{h, FALSE};
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* o = static_cast<Other*>(p);
        o->result = CancelIo(o->file);
        return 0;
      },
      &other, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  EXPECT_TRUE(other.result);  // nothing of its own to cancel is not a failure
  EXPECT_EQ(PendingCount(), 1u);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

  ASSERT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(PendingCount(), 0u);
  EXPECT_TRUE(CancelIo(h));
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(RequestTest, ClosingEverythingWithAReadInFlightIsSafe) {
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  auto* ov = new OVERLAPPED{};
  ov->hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  char buf[8];
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, ov));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  // The event handle goes first; the port's cleanup then ends the read, which still sets
  // the event object and writes the OVERLAPPED.
  EXPECT_TRUE(CloseHandle(ov->hEvent));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(S().cleanups, 1);
  EXPECT_EQ(S().closes, 1);
  EXPECT_EQ((NTSTATUS)(ULONG)ov->Internal, STATUS_CANCELLED);
  delete ov;
}

// What the application sees when the port completes a request with a status.
struct ErrorCase {
  NTSTATUS status;
  DWORD error;
};

class StatusToError : public Win32Fixture, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(StatusToError, FailedRequestReportsTheWindowsError) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(sim::win32::ErrorFromStatus(c.status), c.error);
  HANDLE h = OpenPort(FILE_FLAG_OVERLAPPED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  S().fail[kTestIoctl] = c.status;
  DWORD n = 0;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(h, kTestIoctl, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), c.error);
  // The same through an overlapped request that completes at once.
  OVERLAPPED ov{};
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(h, kTestIoctl, nullptr, 0, nullptr, 0, &n, &ov));
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), c.error);
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusToError,
                         ::testing::Values(ErrorCase{STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
                                           ErrorCase{STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                                           ErrorCase{STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
                                           ErrorCase{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                                           ErrorCase{STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
                                           ErrorCase{STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
                                           ErrorCase{STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
                                           ErrorCase{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
                                           ErrorCase{STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
                                           ErrorCase{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
                                           ErrorCase{STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
                                           ErrorCase{STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
                                           ErrorCase{STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
                                           ErrorCase{STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                                           ErrorCase{STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
                                           ErrorCase{STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
                                           ErrorCase{(NTSTATUS)0xC0000999L, ERROR_MR_MID_NOT_FOUND}));

TEST_F(RequestTest, ControlOutputComesBackOnlyAsFarAsTheDriverFilledIt) {
  HANDLE h = OpenPort();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  S().answers[kTestIoctl] = {1, 2, 3};
  UCHAR in[2] = {9, 8}, out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, kTestIoctl, in, sizeof in, out, sizeof out, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(out[3], 0xEE);
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].in, std::vector<UCHAR>({9, 8}));
  EXPECT_EQ(Log()[0].outLength, 6u);
  // Too small an output buffer is the driver's to refuse; a null buffer with a length
  // never becomes a request.
  EXPECT_FALSE(DeviceIoControl(h, kTestIoctl, nullptr, 0, out, 2, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(DeviceIoControl(h, kTestIoctl, nullptr, 4, out, 2, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
  EXPECT_FALSE(DeviceIoControl(h, kTestIoctl, in, 2, nullptr, 8, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
  S().readData = "data";
  EXPECT_FALSE(ReadFile(h, nullptr, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
  EXPECT_FALSE(WriteFile(h, nullptr, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
  EXPECT_EQ(Log().size(), 2u);
  // A zero-length write still reaches the port, as on Windows.
  ASSERT_TRUE(WriteFile(h, nullptr, 0, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Log().size(), 3u);
  CloseHandle(h);
}

}  // namespace
