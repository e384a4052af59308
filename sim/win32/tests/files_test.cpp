// CreateFile and CloseHandle: which Win32 paths reach the device, what a refused open
// reports, and that an exclusive port stays with its first opener.
#include "win32_fixture.h"

using namespace w32test;

namespace {

struct OpenCase {
  const char* name;
  const char* path;
  DWORD share, disposition, access;
  DWORD error;  // ERROR_SUCCESS: the open succeeds
};

class OpenPaths : public Win32Fixture, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenPaths, OpensTheDeviceOrFailsWithTheWindowsError) {
  const OpenCase& c = GetParam();
  SetLastError(12345);
  HANDLE h = CreateFileA(c.path, c.access, c.share, nullptr, c.disposition, 0, nullptr);
  if (c.error == ERROR_SUCCESS) {
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(S().creates, 1);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(S().closes, 1);
  } else {
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(S().creates, 0);  // refused before the driver saw it
  }
}

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;

INSTANTIATE_TEST_SUITE_P(
    Table, OpenPaths,
    ::testing::Values(OpenCase{"DevicePath", "\\\\.\\COM9", 0, OPEN_EXISTING, kRW, ERROR_SUCCESS},
                      OpenCase{"BareComName", "COM9", 0, OPEN_EXISTING, kRW, ERROR_SUCCESS},
                      OpenCase{"ComNameWithColon", "com9:", 0, OPEN_EXISTING, kRW, ERROR_SUCCESS},
                      OpenCase{"ForwardSlashes", "//./com9", 0, OPEN_EXISTING, kRW, ERROR_SUCCESS},
                      OpenCase{"GlobalRoot", "\\\\.\\GLOBALROOT\\Device\\W32Test0", 0, OPEN_EXISTING, kRW,
                               ERROR_SUCCESS},
                      OpenCase{"NoAccessStillOpens", "\\\\.\\COM9", 0, OPEN_EXISTING, 0, ERROR_SUCCESS},
                      OpenCase{"NoSuchPort", "\\\\.\\COM8", 0, OPEN_EXISTING, kRW, ERROR_FILE_NOT_FOUND},
                      OpenCase{"NotADeviceName", "COM0", 0, OPEN_EXISTING, kRW, ERROR_FILE_NOT_FOUND},
                      OpenCase{"PlainFile", "C:\\log.txt", 0, OPEN_EXISTING, kRW, ERROR_FILE_NOT_FOUND},
                      OpenCase{"EmptyPath", "", 0, OPEN_EXISTING, kRW, ERROR_PATH_NOT_FOUND},
                      OpenCase{"BareDevicePrefix", "\\\\.\\", 0, OPEN_EXISTING, kRW, ERROR_INVALID_NAME},
                      OpenCase{"UnknownShareBit", "\\\\.\\COM9", 0x10, OPEN_EXISTING, kRW, ERROR_INVALID_PARAMETER},
                      OpenCase{"DispositionZero", "\\\\.\\COM9", 0, 0, kRW, ERROR_INVALID_PARAMETER},
                      OpenCase{"DispositionSix", "\\\\.\\COM9", 0, 6, kRW, ERROR_INVALID_PARAMETER},
                      OpenCase{"TruncateWithoutWrite", "\\\\.\\COM9", 0, TRUNCATE_EXISTING, GENERIC_READ,
                               ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<OpenCase>& i) { return std::string(i.param.name); });

using FileTest = Win32Fixture;

TEST_F(FileTest, SecondOpenOfTheExclusivePortIsDeniedAndTheFirstKeepsWorking) {
  HANDLE first = OpenPort();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = CreateFileW(L"\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(S().creates, 1);

  DWORD n = 0;
  EXPECT_TRUE(WriteFile(first, "AT\r", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(CloseHandle(first));
  // Closed handles are refused, and the port is free again.
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(first, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  second = OpenPort();
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(FileTest, HandleWithoutReadAccessCannotRead) {
  HANDLE h = CreateFileA("\\\\.\\COM9", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[4];
  DWORD n = 99;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(Log().empty());
  CloseHandle(h);
}

TEST_F(FileTest, LastErrorBelongsToEachThread) {
  SetLastError(ERROR_GEN_FAILURE);
  struct Seen {
    DWORD before = 0, after = 0;
  } seen;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* s = static_cast<Seen*>(p);
        s->before = GetLastError();
        CloseHandle(nullptr);
        s->after = GetLastError();
        return 0;
      },
      &seen, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  CloseHandle(t);
  EXPECT_EQ(seen.before, (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(seen.after, (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
}

}  // namespace
