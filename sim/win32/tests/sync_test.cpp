// Events, waits, threads and time: every timeout runs on the machine's virtual clock, so
// a 30-second wait costs nothing and ends exactly 30 seconds later.
#include "win32_fixture.h"

using namespace w32test;

namespace {

using SyncTest = Win32Fixture;

TEST_F(SyncTest, TimedWaitsEndOnTheVirtualClock) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  ULONGLONG start = sim::kernel::Now();
  DWORD ticks = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(e, 30000), WAIT_TIMEOUT);
  EXPECT_EQ(sim::kernel::Now() - start, 30000ull * 10000);
  EXPECT_EQ(GetTickCount() - ticks, 30000u);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  Sleep(1500);
  EXPECT_EQ(GetTickCount() - ticks, 31500u);
  CloseHandle(e);
}

TEST_F(SyncTest, EventsAndMultipleWaits) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoReset = CreateEventW(nullptr, FALSE, TRUE, L"name");
  HANDLE both[2] = {manual, autoReset};
  // WaitAny reports the first signalled; an auto-reset event is consumed by the wait.
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual));
  ASSERT_TRUE(SetEvent(autoReset));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // a manual event stays set
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  // Handles that cannot be waited on, and bad counts.
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  HANDLE bad[2] = {manual, port};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(port));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, both, FALSE, 0), WAIT_FAILED);
  CloseHandle(port);
  CloseHandle(manual);
  CloseHandle(autoReset);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

TEST_F(SyncTest, ThreadsRunAsSimulatedThreadsAndReportTheirExitCode) {
  struct Shared {
    HANDLE go;
    ULONGLONG wokeAt = 0;
  } shared{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  DWORD id = 0;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        WaitForSingleObject(s->go, INFINITE);
        Sleep(250);
        s->wokeAt = GetTickCount64();
        ExitThread(7);
      },
      &shared, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  // The thread blocks on the event, so the clock moves for this wait.
  EXPECT_EQ(WaitForSingleObject(t, 1000), WAIT_TIMEOUT);
  ULONGLONG released = GetTickCount64();
  SetEvent(shared.go);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(shared.wokeAt, released + 250);
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(t));
  CloseHandle(shared.go);

  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
