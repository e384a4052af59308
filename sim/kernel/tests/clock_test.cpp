// Virtual time: timed waits, timers, DPCs and system threads move the clock only as far
// as what they wait for, and a machine where nothing can happen reports a deadlock.
#include <atomic>

#include <wdm.h>

#include "kernel_fixture.h"

using sim::kernel::testing::BootedKernel;

namespace {

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

class Clock : public BootedKernel {};

TEST_F(Clock, ThirtySecondWaitAdvancesVirtualTimeOnly) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  ULONGLONG before = sim::kernel::Now();
  LARGE_INTEGER timeout = Relative(30000);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::kernel::Now() - before, 30000ull * 10000);
}

TEST_F(Clock, AbsoluteTimeoutInThePastReturnsAtOnce) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER timeout;
  timeout.QuadPart = now.QuadPart + 5 * 10000000ll;
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::kernel::Now(), 5ull * 10000000);
  timeout.QuadPart = now.QuadPart;  // already past
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::kernel::Now(), 5ull * 10000000);
}

struct TimerCount {
  std::atomic<int> fired{0};
  std::atomic<int> wrongIrql{0};
};

void CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<TimerCount*>(context);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) c->wrongIrql++;
  c->fired++;
}

TEST_F(Clock, PeriodicTimerFiresOncePerPeriodOverAVirtualMinute) {
  TimerCount count;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, CountDpc, &count);
  LARGE_INTEGER due = Relative(1000);
  KeSetTimerEx(&timer, due, 1000, &dpc);
  sim::kernel::Sleep(60500);
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  EXPECT_EQ(count.fired.load(), 60);
  EXPECT_EQ(count.wrongIrql.load(), 0);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(Clock, CancelledTimerNeverFires) {
  TimerCount count;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountDpc, &count);
  KeSetTimer(&timer, Relative(100), &dpc);
  EXPECT_TRUE(KeCancelTimer(&timer));
  sim::kernel::Sleep(1000);
  KeFlushQueuedDpcs();
  EXPECT_EQ(count.fired.load(), 0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(Clock, WaitOnTimerObjectEndsAtItsDueTime) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, Relative(250), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::Now(), 250ull * 10000);
  EXPECT_FALSE(KeReadStateTimer(&timer));  // a synchronization timer resets on a satisfied wait
}

struct Signaller {
  KEVENT event;
  ULONGLONG setAt = 0;
  LONG priority = 0;
};

void SignalAfterDelay(PVOID context) {
  auto* s = static_cast<Signaller*>(context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  s->priority = KeQueryPriorityThread(KeGetCurrentThread());
  sim::kernel::Sleep(1500);
  s->setAt = sim::kernel::Now();
  KeSetEvent(&s->event, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(Clock, SystemThreadSignalsAfterVirtualDelayAndEnds) {
  Signaller s;
  KeInitializeEvent(&s.event, SynchronizationEvent, FALSE);
  HANDLE h;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SignalAfterDelay, &s),
            STATUS_SUCCESS);
  PVOID thread;
  ASSERT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(s.setAt, 1500ull * 10000);
  // The thread object is signalled when the thread has ended.
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  EXPECT_EQ(s.priority, LOW_REALTIME_PRIORITY);
}

TEST_F(Clock, DeadlockIsReportedWithEachThreadsWait) {
  EXPECT_DEATH(
      {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        sim::kernel::NameObject(&never, "never set");
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "DEADLOCK(.|\n)*thread \"main\": waits for notification event \"never set\", no time limit"
      "(.|\n)*thread \"DPC0\": waits for DPCs");
}

}  // namespace
