// The verifier stops the machine with a readable report for each rule a driver breaks.
#include <wdm.h>

#include "kernel_fixture.h"
#include "pool.h"

using sim::kernel::testing::BootedKernel;

// The misbehaving routines are global so the reports can name them.
void WaitAtDispatch() {
  KSPIN_LOCK lock;
  KIRQL old;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER t;
  t.QuadPart = -10000;
  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
}

void PagedPoolAtDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
}

void ReleaseUnheldSpinLock() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&lock, old);
}

void ReleaseSpinLockBelowDispatch() {
  KSPIN_LOCK lock;
  KIRQL old;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
}

KSPIN_LOCK gHeldByDpc;
void DpcKeepsLock(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&gHeldByDpc); }

void DpcReturnsHoldingLock() {
  KDPC dpc;
  KeInitializeSpinLock(&gHeldByDpc);
  KeInitializeDpc(&dpc, DpcKeepsLock, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
}

KSPIN_LOCK gHeldByThread;
void ThreadKeepsLock(PVOID) {
  KIRQL old;
  KeAcquireSpinLock(&gHeldByThread, &old);
}

void ThreadEndsHoldingLock() {
  HANDLE h;
  KeInitializeSpinLock(&gHeldByThread);
  PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadKeepsLock, nullptr);
  PVOID thread;
  ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

void FreeWithWrongTag() {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW');
  ExFreePoolWithTag(p, 'xxxx');
}

void FreeTwice() {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, ' mdW');
  ExFreePoolWithTag(p, ' mdW');
  ExFreePoolWithTag(p, ' mdW');
}

void LowerIrqlUpwards() { KeLowerIrql(DISPATCH_LEVEL); }

void LeakAtUnload() {
  ExAllocatePoolWithTag(NonPagedPool, 24, ' mdW');
  sim::kernel::pool::VerifyImageUnload("kernel_tests");
}

namespace {

struct Rule {
  const char* name;
  void (*breakIt)();
  const char* report;
};

const Rule kRules[] = {
    {"WaitAtDispatch", WaitAtDispatch,
     "STOP 0x0000000A(.|\n)*wait with a non-zero timeout above APC_LEVEL(.|\n)*WaitAtDispatch"},
    {"PagedPoolAtDispatch", PagedPoolAtDispatch, "BAD_POOL_CALLER(.|\n)*paged pool allocated above APC_LEVEL"},
    {"ReleaseUnheldSpinLock", ReleaseUnheldSpinLock, "SPIN_LOCK_NOT_OWNED(.|\n)*does not hold"},
    {"ReleaseSpinLockBelowDispatch", ReleaseSpinLockBelowDispatch, "KeReleaseSpinLock not at DISPATCH_LEVEL"},
    {"DpcReturnsHoldingLock", DpcReturnsHoldingLock,
     "DPC routine returned holding a spin lock(.|\n)*DpcKeepsLock(.|\n)*thread: +\"DPC0\""},
    {"ThreadEndsHoldingLock", ThreadEndsHoldingLock, "system thread ended holding a spin lock(.|\n)*ThreadKeepsLock"},
    {"FreeWithWrongTag", FreeWithWrongTag, "pool freed with a wrong tag"},
    {"FreeTwice", FreeTwice, "pool freed twice"},
    {"LowerIrqlUpwards", LowerIrqlUpwards, "IRQL_NOT_LESS_OR_EQUAL(.|\n)*KeLowerIrql to a higher IRQL"},
    {"LeakAtUnload", LeakAtUnload, "pool leaked by kernel_tests at unload(.|\n)*'Wdm ': 1 allocation, 24 bytes"},
};

class VerifierRule : public BootedKernel, public ::testing::WithParamInterface<Rule> {};

TEST_P(VerifierRule, StopsTheMachineWithAReport) {
  EXPECT_DEATH(GetParam().breakIt(), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRule, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
