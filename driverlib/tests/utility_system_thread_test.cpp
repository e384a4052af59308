// Tests of WdmSystemThread: the thread object stays referenced (not by handle) while the
// owner may wait for the end, a running thread keeps its slot, an ended one gives it up,
// and nothing is left behind once the reference is released.
#include <thread>

#include "kernel_fixture.h"
#include "object.h"
#include "pool.h"
#include "wdm_sync.h"
#include "wdm_system_thread.h"

namespace {

namespace pool = sim::kernel::pool;

class WdmSystemThreadTest : public sim::kernel::testing::BootedKernel {
 protected:
  void SetUp() override {
    BootedKernel::SetUp();
    handles_ = sim::kernel::HandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(sim::kernel::HandleCount(), handles_);
    EXPECT_EQ(pool::LeakReport(), "");
    BootedKernel::TearDown();
  }
  size_t handles_ = 0;
};

struct Gate {
  WdmEvent release;
  LONG runs = 0;
  PVOID seenThread = nullptr;
  NTSTATUS selfWait = STATUS_PENDING;
};

// Runs until the gate opens; tries (and must fail) to wait for itself.
void GatedRoutine(PVOID self) {
  auto* thread = WdmSystemThread::From(self);
  auto* gate = (Gate*)thread->Context;
  InterlockedIncrement(&gate->runs);
  gate->seenThread = PsGetCurrentThread();
  gate->release.Wait();
  gate->selfWait = thread->WaitForEnd();
  thread->MarkEnded();
}

LARGE_INTEGER Relative(LONGLONG hundredNs) {
  LARGE_INTEGER t;
  t.QuadPart = -hundredNs;
  return t;
}

TEST_F(WdmSystemThreadTest, StartReferencesTheThreadAndWaitReleasesIt) {
  Gate gate;
  WdmSystemThread thread;
  ASSERT_EQ(thread.Start(GatedRoutine, &gate), STATUS_SUCCESS);
  EXPECT_TRUE(thread.Started);
  EXPECT_EQ(thread.Handle, nullptr);
  ASSERT_NE(thread.Thread, nullptr);
  // Held by reference only: the creation handle is already closed.
  EXPECT_EQ(sim::kernel::HandleCount(), handles_);
  LARGE_INTEGER tenMs = Relative(100000);
  EXPECT_EQ(thread.WaitForEnd(&tenMs), STATUS_TIMEOUT);
  EXPECT_NE(thread.Thread, nullptr);
  gate.release.Set();
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
  EXPECT_EQ(thread.Thread, nullptr);
  EXPECT_TRUE(thread.Ended);
  EXPECT_EQ(gate.runs, 1);
  EXPECT_EQ(gate.selfWait, STATUS_INVALID_DEVICE_STATE);
  // Waiting again finds nothing to wait for.
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
}

TEST_F(WdmSystemThreadTest, RestartWaitsForThePreviousThreadToEnd) {
  Gate gate;
  WdmSystemThread thread;
  ASSERT_EQ(thread.Start(GatedRoutine, &gate), STATUS_SUCCESS);
  PVOID first = thread.Thread;
  // Still running: its reference is not dropped and no second thread starts.
  EXPECT_EQ(thread.Start(GatedRoutine, &gate), STATUS_DEVICE_BUSY);
  EXPECT_EQ(thread.Thread, first);
  gate.release.Set();
  // Ended without anyone waiting: Start notices and releases the old reference.
  LARGE_INTEGER oneSecond = Relative(10000000);
  KeDelayExecutionThread(KernelMode, FALSE, &oneSecond);
  ASSERT_EQ(thread.Start(GatedRoutine, &gate), STATUS_SUCCESS);
  EXPECT_NE(thread.Thread, nullptr);
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
  EXPECT_EQ(gate.runs, 2);
}

// A thread that ends through PsTerminateSystemThread after marking itself ended.
void TerminatingRoutine(PVOID self) {
  auto* thread = WdmSystemThread::From(self);
  InterlockedIncrement((LONG*)thread->Context);
  thread->MarkEnded();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(WdmSystemThreadTest, TerminatedThreadCanBeWaitedForAndRestarted) {
  LONG runs = 0;
  WdmSystemThread thread;
  ASSERT_EQ(thread.Start(TerminatingRoutine, &runs), STATUS_SUCCESS);
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
  ASSERT_EQ(thread.Start(TerminatingRoutine, &runs), STATUS_SUCCESS);
  EXPECT_EQ(thread.WaitForEnd(), STATUS_SUCCESS);
  EXPECT_EQ(runs, 2);
}

TEST_F(WdmSystemThreadTest, DestructorReleasesTheReferenceOfAnEndedThread) {
  LONG runs = 0;
  PVOID object = nullptr;
  {
    WdmSystemThread thread;
    ASSERT_EQ(thread.Start(TerminatingRoutine, &runs), STATUS_SUCCESS);
    object = thread.Thread;
    sim::kernel::ObRef(object);  // to watch the count after the wrapper is gone
    ASSERT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // The ended thread drops its own reference just after it is signalled; then only
    // the wrapper's and ours are left.
    while (sim::kernel::ObRefCount(object) > 2) std::this_thread::yield();
  }
  EXPECT_EQ(sim::kernel::ObRefCount(object), 1);
  sim::kernel::ObDeref(object);
  EXPECT_EQ(runs, 1);
}

}  // namespace
