// Device stacks and IRP flow through the I/O manager: attaching, passing requests down,
// completion routines and their conditions, reclaiming an IRP, cancel, and the verifier
// rules a driver breaks on the way.
#include <thread>

#include "drivers/io_test_fixture.h"
#include "internal.h"
#include "verifier.h"

using namespace iotest;
using namespace sim::kernel;

namespace {

NTSTATUS SignalAndReclaim(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  S().completionCalls++;
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP the caller owns, sent to the top of the stack with a routine that reclaims it.
PIRP SendOwned(PDEVICE_OBJECT top, PKEVENT done, NTSTATUS* returned) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sl->Parameters.DeviceIoControl.IoControlCode = kIoctlNeither;
  KeInitializeEvent(done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalAndReclaim, done, TRUE, TRUE, TRUE);
  *returned = IoCallDriver(top, irp);
  return irp;
}

}  // namespace

using IoStackTest = IoFixture;

TEST_F(IoStackTest, CreateAndAttachBuildTheStack) {
  BuildStack();
  EXPECT_EQ(upper->StackSize, 2);
  EXPECT_EQ(*static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension), lower);
  EXPECT_EQ(lower->AttachedDevice, upper);
  EXPECT_EQ(IoGetAttachedDevice(lower), upper);
  EXPECT_EQ(FindDevice("\\device\\iotestlower0"), lower);
  EXPECT_TRUE(lower->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_FALSE(upper->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_EQ(lowerDriver->DeviceObject, lower);

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower);
  EXPECT_EQ(top, upper);
  ObDereferenceObject(top);

  // A second device of the same name is refused; the first is untouched.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\IoTestLower0");
  PDEVICE_OBJECT clash = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(lowerDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(clash, nullptr);

  // A fresh device: zeroed extension, initializing until its driver says otherwise.
  PDEVICE_OBJECT fresh;
  ASSERT_EQ(IoCreateDevice(lowerDriver, 64, nullptr, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &fresh),
            STATUS_SUCCESS);
  const UCHAR* ext = static_cast<const UCHAR*>(fresh->DeviceExtension);
  for (int i = 0; i < 64; i++) ASSERT_EQ(ext[i], 0) << i;
  EXPECT_TRUE(fresh->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(fresh->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(fresh->StackSize, 1);
  EXPECT_EQ(fresh->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
  EXPECT_NE(InfoOf(fresh), nullptr);
  IoDeleteDevice(fresh);

  TearDownStack();
  EXPECT_EQ(FindDevice("\\Device\\IoTestLower0"), nullptr);
  EXPECT_EQ(lowerDriver->DeviceObject, nullptr);
}

TEST_F(IoStackTest, AttachGoesOnTopOfTheWholeStack) {
  BuildStack();
  PDEVICE_OBJECT third;
  ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &third),
            STATUS_SUCCESS);
  third->AlignmentRequirement = 0;
  upper->AlignmentRequirement = 3;
  PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(third, lower);  // the bottom is named, not the top
  EXPECT_EQ(below, upper);
  EXPECT_EQ(third->StackSize, 3);
  EXPECT_EQ(third->AlignmentRequirement, 3u);
  EXPECT_EQ(NodeOfStack(third), nullptr);
  IoDetachDevice(upper);
  EXPECT_EQ(upper->AttachedDevice, nullptr);
  IoDeleteDevice(third);
}

// Completion routines run by their flags against the final status and Irp->Cancel.
struct CompletionCase {
  const char* name;
  enum { Success, Error, Cancel } outcome;
  bool onSuccess, onError, onCancel;
  bool called;
};

class CompletionConditions : public IoFixture, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionConditions, RoutineRunsOnlyWhenItsConditionHolds) {
  const CompletionCase& c = GetParam();
  BuildStack();
  S().filterSkip = false;
  S().invokeSuccess = c.onSuccess;
  S().invokeError = c.onError;
  S().invokeCancel = c.onCancel;
  S().status = c.outcome == CompletionCase::Error ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS;
  S().lower = c.outcome == CompletionCase::Cancel ? Lower::Pend : Lower::Complete;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  UCHAR in[4] = {1, 2, 3, 4}, out[4] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, upper, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
  NTSTATUS st = IoCallDriver(upper, irp);
  if (c.outcome == CompletionCase::Cancel) {
    ASSERT_EQ(st, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(FirstPended()));
  }
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS expected = c.outcome == CompletionCase::Success ? STATUS_SUCCESS
                      : c.outcome == CompletionCase::Error ? STATUS_DEVICE_DATA_ERROR
                                                           : STATUS_CANCELLED;
  EXPECT_EQ(iosb.Status, expected);
  EXPECT_EQ(S().completionCalls.load(), c.called ? 1 : 0);
  if (c.called) {
    EXPECT_EQ(S().completionDevice, upper);  // the routine's own device
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompletionConditions,
    ::testing::Values(CompletionCase{"SuccessOnSuccess", CompletionCase::Success, true, false, false, true},
                      CompletionCase{"SuccessOnError", CompletionCase::Success, false, true, false, false},
                      CompletionCase{"SuccessOnCancel", CompletionCase::Success, false, false, true, false},
                      CompletionCase{"ErrorOnSuccess", CompletionCase::Error, true, false, false, false},
                      CompletionCase{"ErrorOnError", CompletionCase::Error, false, true, false, true},
                      CompletionCase{"ErrorOnCancel", CompletionCase::Error, false, false, true, false},
                      CompletionCase{"CancelOnSuccess", CompletionCase::Cancel, true, false, false, false},
                      CompletionCase{"CancelOnError", CompletionCase::Cancel, false, true, false, true},
                      CompletionCase{"CancelOnCancel", CompletionCase::Cancel, false, false, true, true}),
    [](const ::testing::TestParamInfo<CompletionCase>& i) { return std::string(i.param.name); });

TEST_F(IoStackTest, MoreProcessingRequiredHandsTheIrpBackToItsOwner) {
  BuildStack(nullptr);
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend ? "lower pends" : "lower completes at once");
    S().lower = pend ? Lower::Pend : Lower::Complete;
    S().completionCalls = 0;
    KEVENT done;
    NTSTATUS returned;
    PIRP irp = SendOwned(upper, &done, &returned);
    if (pend) {
      EXPECT_EQ(returned, STATUS_PENDING);
      EXPECT_EQ(KeReadStateEvent(&done), 0);
      EXPECT_TRUE(CompletePended(FirstPended(), STATUS_SUCCESS));
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(S().completionCalls.load(), 1);
    // Still ours: readable, reusable, and freed by us.
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->PendingReturned, pend ? TRUE : FALSE);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    IoFreeIrp(irp);
  }
  EXPECT_EQ(InfoOf(lower)->outstandingIrps, 0);
  EXPECT_EQ(InfoOf(upper)->outstandingIrps, 0);
}

TEST_F(IoStackTest, PendingPropagatesUpWhenNoRoutineIsSet) {
  BuildStack(nullptr);
  S().lower = Lower::Pend;
  S().filterSkip = false;  // copy the location, routine only on success: not on cancel
  S().invokeSuccess = true;
  KEVENT done;
  NTSTATUS returned;
  PIRP irp = SendOwned(upper, &done, &returned);
  ASSERT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(InfoOf(lower)->outstandingIrps, 1);
  EXPECT_EQ(InfoOf(upper)->outstandingIrps, 1);
  EXPECT_TRUE(CompletePended(FirstPended(), STATUS_SUCCESS));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(irp->PendingReturned);  // the filter's routine passed the mark up
  EXPECT_EQ(InfoOf(lower)->outstandingIrps, 0);
  EXPECT_EQ(InfoOf(upper)->outstandingIrps, 0);
  IoFreeIrp(irp);
}

TEST_F(IoStackTest, CancelRunsTheCancelRoutineOnce) {
  BuildStack(nullptr);
  S().lower = Lower::Pend;
  KEVENT done;
  NTSTATUS returned;
  PIRP irp = SendOwned(upper, &done, &returned);
  ASSERT_EQ(returned, STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(S().cancels.load(), 1);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_TRUE(irp->Cancel);
  // No cancel routine any more: nothing to call.
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(S().cancels.load(), 1);
  EXPECT_EQ(S().completionCalls.load(), 1);
  IoFreeIrp(irp);
}

TEST_F(IoStackTest, CancelRacingCompletionEndsTheIrpExactlyOnce) {
  BuildStack(nullptr);
  S().lower = Lower::Pend;
  int cancelled = 0, completed = 0;
  for (int round = 0; round < 300; round++) {
    S().completionCalls = 0;
    int cancelsBefore = S().cancels.load();
    KEVENT done;
    NTSTATUS returned;
    PIRP irp = SendOwned(upper, &done, &returned);
    ASSERT_EQ(returned, STATUS_PENDING);
    std::thread completer = StartSimThread("completer", [irp] { CompletePended(irp, STATUS_SUCCESS); });
    IoCancelIrp(irp);
    HostBlocking([&] { completer.join(); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(S().completionCalls.load(), 1) << "round " << round;
    int cancelRuns = S().cancels.load() - cancelsBefore;
    if (irp->IoStatus.Status == STATUS_CANCELLED) {
      ASSERT_EQ(cancelRuns, 1) << "round " << round;
      cancelled++;
    } else {
      ASSERT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
      ASSERT_EQ(cancelRuns, 0) << "round " << round;
      completed++;
    }
    IoFreeIrp(irp);
  }
  EXPECT_EQ(cancelled + completed, 300);
  EXPECT_EQ(InfoOf(lower)->outstandingIrps, 0);
}

TEST_F(IoStackTest, BuiltRequestsCopyBufferedOutputAndSignal) {
  BuildStack(nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  UCHAR in[3] = {10, 20, 30}, out[5] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, upper, in, sizeof in, out, sizeof out, TRUE, &event, &iosb);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  const UCHAR want[5] = {11, 21, 31, 11, 21};
  EXPECT_EQ(0, memcmp(out, want, 5));
  EXPECT_EQ(S().written, std::vector<UCHAR>({10, 20, 30}));

  // A synchronous FSD read into a buffered device.
  KeClearEvent(&event);
  char data[6] = {};
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, upper, data, 5, &offset, &event, &iosb);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_STREQ(data, "abcde");
  EXPECT_EQ(iosb.Information, 5u);
}

// ---- The verifier ----------------------------------------------------------------------------

struct RuleCase {
  const char* name;
  Lower lower;        // what the lower device does with the request
  const char* report;
};

class VerifierRules : public IoFixture, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(VerifierRules, BreakingTheRuleStopsTheMachine) {
  const RuleCase& c = GetParam();
  BuildStack(nullptr);
  // The lower device alone, so nothing else is attached when it deletes itself.
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  upper = nullptr;
  S().lower = c.lower;
  auto send = [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctlBuffered, lower, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(lower, irp);
    // Some rules show only when the request completes.
    if (!S().queue.empty()) {
      PIRP pended = S().queue.front();
      S().queue.clear();
      pended->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(pended, IO_NO_INCREMENT);
    }
  };
  EXPECT_DEATH(send(), c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerifierRules,
    ::testing::Values(RuleCase{"CompletedTwice", Lower::CompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
                      RuleCase{"PendingWithoutMark", Lower::PendWithoutMark, "without IoMarkIrpPending"},
                      RuleCase{"CompletedWithPending", Lower::CompleteWithPending, "completed with STATUS_PENDING"},
                      RuleCase{"CancelRoutineLeftSet", Lower::LeaveCancelRoutine, "cancel routine still set"},
                      RuleCase{"DispatchReturnedRaised", Lower::ReturnAtDispatch,
                               "returned at a different IRQL"},
                      RuleCase{"DeletedWithOutstandingIrps", Lower::PendAndDelete, "with outstanding IRPs"}),
    [](const ::testing::TestParamInfo<RuleCase>& i) { return std::string(i.param.name); });

TEST_F(IoStackTest, StackLocationOverrunStopsTheMachine) {
  BuildStack(nullptr);
  S().filterSkip = false;  // the filter uses a location of its own
  auto send = [&] {
    PIRP irp = IoAllocateIrp(1, FALSE);  // one location short for a two-device stack
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(upper, irp);
  };
  EXPECT_DEATH(send(), "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(IoStackTest, DeletingADeviceNotDetachedFromBelowStopsTheMachine) {
  BuildStack(nullptr);
  EXPECT_DEATH(IoDeleteDevice(upper), "still attached to a lower device");
}

TEST_F(IoStackTest, LowerDeviceDeletedBeforeTheDeviceAboveDetachesStaysValidUntilThen) {
  // The order of PnP removal: the lower device goes first, the upper one detaches after.
  BuildStack(nullptr);
  IoDeleteDevice(lower);
  EXPECT_EQ(upper->StackSize, 2);
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  lower = upper = nullptr;
  S().lowerDevice = nullptr;
}
