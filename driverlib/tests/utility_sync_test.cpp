// Tests of the dispatcher wrappers and the spin lock: event kinds, semaphore counts,
// recursive mutex ownership, adopted objects given back exactly once, and the IRQL a
// spin lock returns to in its normal and DISPATCH_LEVEL forms.
#include "kernel_fixture.h"
#include "object.h"
#include "pool.h"
#include "wdm_sync.h"
#include "wdm_system_thread.h"

namespace {

class WdmSyncTest : public sim::kernel::testing::BootedKernel {};

LARGE_INTEGER Immediately() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

struct EventCase {
  EVENT_TYPE type;
  BOOLEAN signalled;
  NTSTATUS first;
  NTSTATUS second;
};

TEST_F(WdmSyncTest, EventKindsAndInitialStates) {
  const EventCase cases[] = {
      {NotificationEvent, TRUE, STATUS_SUCCESS, STATUS_SUCCESS},  // stays signalled
      {SynchronizationEvent, TRUE, STATUS_SUCCESS, STATUS_TIMEOUT},  // one waiter takes it
      {NotificationEvent, FALSE, STATUS_TIMEOUT, STATUS_TIMEOUT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    WdmEvent event;
    event.Initialize(c.type, c.signalled);
    LARGE_INTEGER now = Immediately();
    EXPECT_EQ(event.Wait(&now), c.first);
    EXPECT_EQ(event.Wait(&now), c.second);
  }
}

TEST_F(WdmSyncTest, SetWakesAWaiterOnAnotherThreadAndClearResets) {
  struct Shared {
    WdmEvent go;
    WdmEvent done;
  } shared;
  shared.go.Initialize(NotificationEvent, FALSE);
  shared.done.Initialize(NotificationEvent, FALSE);
  WdmSystemThread thread;
  ASSERT_EQ(thread.Start(
                [](PVOID self) {
                  auto* s = (Shared*)WdmSystemThread::From(self)->Context;
                  s->go.Wait();
                  s->done.Set();
                },
                &shared),
            STATUS_SUCCESS);
  LARGE_INTEGER now = Immediately();
  EXPECT_EQ(shared.done.Wait(&now), STATUS_TIMEOUT);
  shared.go.Set();
  EXPECT_EQ(shared.done.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
  shared.go.Clear();
  EXPECT_EQ(shared.go.ReadState(), 0);
}

TEST_F(WdmSyncTest, SemaphoreCountsDownAndReleaseReturnsThePreviousCount) {
  WdmSemaphore semaphore;
  semaphore.Initialize(2, 3);
  LARGE_INTEGER now = Immediately();
  EXPECT_EQ(semaphore.Wait(&now), STATUS_SUCCESS);
  EXPECT_EQ(semaphore.Wait(&now), STATUS_SUCCESS);
  EXPECT_EQ(semaphore.Wait(&now), STATUS_TIMEOUT);
  EXPECT_EQ(semaphore.Release(), 0);
  EXPECT_EQ(semaphore.Release(2), 1);
  EXPECT_EQ(semaphore.ReadState(), 3);
}

TEST_F(WdmSyncTest, MutexIsRecursiveForItsOwnerOnly) {
  WdmMutex mutex;
  mutex.Initialize(1);
  ASSERT_EQ(mutex.Wait(), STATUS_SUCCESS);
  ASSERT_EQ(mutex.Wait(), STATUS_SUCCESS);
  WdmSystemThread other;
  NTSTATUS seen = STATUS_PENDING;
  struct Probe {
    WdmMutex* mutex;
    NTSTATUS* seen;
  } probe{&mutex, &seen};
  ASSERT_EQ(other.Start(
                [](PVOID self) {
                  auto* p = (Probe*)WdmSystemThread::From(self)->Context;
                  LARGE_INTEGER now;
                  now.QuadPart = 0;
                  *p->seen = p->mutex->Wait(&now);
                },
                &probe),
            STATUS_SUCCESS);
  ASSERT_EQ(other.WaitForEnd(), STATUS_SUCCESS);
  EXPECT_EQ(seen, STATUS_TIMEOUT);
  mutex.Release();
  mutex.Release();
  LARGE_INTEGER now = Immediately();
  EXPECT_EQ(mutex.Wait(&now), STATUS_SUCCESS);
  mutex.Release();
}

TEST_F(WdmSyncTest, AdoptedEventIsUsedAndTheOwnOneAfterRelease) {
  KEVENT external;
  KeInitializeEvent(&external, NotificationEvent, FALSE);
  WdmEvent event;
  event.Adopt(&external);
  event.Set();
  EXPECT_EQ(KeReadStateEvent(&external), 1);
  event.ReleaseObject();
  EXPECT_NE(event.Get(), &external);
  LARGE_INTEGER now = Immediately();
  EXPECT_EQ(event.Wait(&now), STATUS_TIMEOUT);
}

// An event that lives in an object-manager object, reached through a handle: the wrapper
// holds one reference and the handle and gives back both, once.
const sim::kernel::ObjectType kTestEventType = {"TestEvent", nullptr};

struct AdoptCase {
  bool handle;
  bool referenced;
};

TEST_F(WdmSyncTest, AdoptedReferenceAndHandleAreGivenBackOnce) {
  const AdoptCase cases[] = {
      {false, false},
      {true, false},
      {false, true},
      {true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "handle " << c.handle << " referenced " << c.referenced);
    auto* body = (PKEVENT)sim::kernel::ObCreateObject(&kTestEventType, sizeof(KEVENT));
    KeInitializeEvent(body, NotificationEvent, FALSE);
    size_t handles = sim::kernel::HandleCount();
    HANDLE handle = c.handle ? sim::kernel::HandleInsert(body, SYNCHRONIZE, false) : nullptr;
    if (c.referenced) sim::kernel::ObRef(body);
    {
      WdmEvent event;
      event.Adopt(body, handle, c.referenced);
      event.Set();
      EXPECT_EQ(KeReadStateEvent(body), 1);
      event.ReleaseObject();
      event.ReleaseObject();  // nothing more to give back
    }
    // Only the creator's reference is left.
    EXPECT_EQ(sim::kernel::ObRefCount(body), 1);
    EXPECT_EQ(sim::kernel::HandleCount(), handles);
    sim::kernel::ObDeref(body);
  }
}

TEST_F(WdmSyncTest, AdoptingAnotherObjectReleasesThePreviousOne) {
  auto* first = (PKEVENT)sim::kernel::ObCreateObject(&kTestEventType, sizeof(KEVENT));
  KEVENT second;
  KeInitializeEvent(first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, NotificationEvent, FALSE);
  sim::kernel::ObRef(first);
  WdmEvent event;
  event.Adopt(first, nullptr, TRUE);
  event.Adopt(&second);
  EXPECT_EQ(sim::kernel::ObRefCount(first), 1);
  EXPECT_EQ(event.Get(), &second);
  sim::kernel::ObDeref(first);
}

struct SpinCase {
  KIRQL start;
};

TEST_F(WdmSyncTest, SpinLockReturnsToTheIrqlItCameFrom) {
  const SpinCase cases[] = {{PASSIVE_LEVEL}, {APC_LEVEL}, {DISPATCH_LEVEL}};
  WdmSpinLock lock;
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.start));
    KIRQL old;
    KeRaiseIrql(c.start, &old);
    EXPECT_EQ(lock.Acquire(), c.start);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock.SavedIrql, c.start);
    lock.Release();
    EXPECT_EQ(KeGetCurrentIrql(), c.start);
    KeLowerIrql(PASSIVE_LEVEL);
  }
}

TEST_F(WdmSyncTest, DpcLevelFormKeepsDispatchLevel) {
  KSPIN_LOCK shared;
  KeInitializeSpinLock(&shared);
  WdmSpinLock lock(&shared);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  lock.AcquireAtDpcLevel();
  EXPECT_EQ(lock.SavedIrql, WdmSpinLock::kAtDpcLevel);
  EXPECT_FALSE(KeTestSpinLock(&shared));
  lock.Release();
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(KeTestSpinLock(&shared));
  KeLowerIrql(old);
}

TEST_F(WdmSyncTest, DpcLevelFormBelowDispatchStopsTheMachine) {
  WdmSpinLock lock;
  EXPECT_DEATH(lock.AcquireAtDpcLevel(), "below DISPATCH_LEVEL");
}

}  // namespace
