// Dispatcher objects: what each wait consumes, wait-any and wait-all, zero timeouts,
// semaphore counts and mutex ownership.
#include <wdm.h>

#include "kernel_fixture.h"

using sim::kernel::testing::BootedKernel;

namespace {

class Dispatcher : public BootedKernel {};

LARGE_INTEGER zero = {};

TEST_F(Dispatcher, SynchronizationEventReleasesOneWaitNotificationEventStaysSet) {
  KEVENT sync, note;
  KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
  KeInitializeEvent(&note, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&note), 1);
  EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(Dispatcher, WaitAnyReportsTheIndexWaitAllNeedsEvery) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, NotificationEvent, TRUE);
  PVOID objs[2] = {&a, &b};
  EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_TIMEOUT);
  KeSetEvent(&a, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_WAIT_0);
}

TEST_F(Dispatcher, SemaphoreCountsDownAndRefusesAboveItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 0, 2);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 2, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_DEATH(
      {
        KeReleaseSemaphore(&sem, 0, 3, FALSE);
      },
      "semaphore released above its limit");
}

TEST_F(Dispatcher, MutexIsRecursiveForItsOwnerAndReleasedOnlyByIt) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 0);  // still owned once
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  EXPECT_DEATH({ KeReleaseMutex(&m, FALSE); }, "mutex released by a thread that does not own it");
}

struct Shared {
  FAST_MUTEX lock;
  LONG inside = 0;
  LONG maxInside = 0;
  LONG done = 0;
  KEVENT finished;
};

void FastMutexWorker(PVOID ctx) {
  auto* s = static_cast<Shared*>(ctx);
  for (int i = 0; i < 50; i++) {
    ExAcquireFastMutex(&s->lock);
    if (KeGetCurrentIrql() != APC_LEVEL) s->maxInside = 100;
    LONG now = InterlockedIncrement(&s->inside);
    if (now > s->maxInside) s->maxInside = now;
    sim::kernel::Sleep(1);  // waiting while holding a fast mutex is allowed
    InterlockedDecrement(&s->inside);
    ExReleaseFastMutex(&s->lock);
  }
  if (InterlockedIncrement(&s->done) == 3) KeSetEvent(&s->finished, 0, FALSE);
}

TEST_F(Dispatcher, FastMutexExcludesAndRaisesToApcLevel) {
  Shared s;
  ExInitializeFastMutex(&s.lock);
  KeInitializeEvent(&s.finished, NotificationEvent, FALSE);
  for (int i = 0; i < 3; i++) {
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FastMutexWorker, &s),
              STATUS_SUCCESS);
    ZwClose(h);
  }
  KeWaitForSingleObject(&s.finished, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(s.maxInside, 1);
  EXPECT_EQ(sim::kernel::Now(), 150ull * 10000);  // 150 one-millisecond holds, one at a time
}

}  // namespace

namespace {

TEST_F(Dispatcher, InterlockedListCallsReportWhatWasAtThatEnd) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head, a, b, c;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);  // was empty
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
