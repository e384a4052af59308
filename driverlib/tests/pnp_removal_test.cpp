// Removal on the PnP device base through the simulated PnP manager: a remove waits for
// the requests in progress, surprise removal with a handle open finishes at the last
// close, and repeated cycles with requests racing the removal stay within the rules.
#include <gtest/gtest.h>

#include <thread>

#include "pnp_test_fixture.h"

namespace {

using pnpdev::PnpDeviceFixture;
using pnpdev::Request;

class PnpRemovalTest : public PnpDeviceFixture {};

// A read sent by another kernel-mode component, with no file object: it does not keep the
// device open, so the removal has to wait for it.
struct KernelRead {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  char buffer[16] = {};
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<KernelRead*>(context);
    r->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  void Send(PDEVICE_OBJECT device) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = sizeof buffer;
    IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
  }
};

TEST_F(PnpRemovalTest, RemoveWaitsForReadsInProgressAndLeavesNothing) {
  control.ReadDelayMs = 200;
  AddDevice();
  KernelRead reads[3];
  for (auto& r : reads) r.Send(fdo);
  for (auto& r : reads) ASSERT_EQ(r.status, STATUS_PENDING);
  ULONGLONG started = sim::kernel::Now();
  ASSERT_EQ(sim::kernel::pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS);
  // The device went only once every read had come back, in virtual time.
  EXPECT_GE(sim::kernel::Now() - started, 200ULL * 10000);
  for (auto& r : reads) EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(control.ReadsServed, 3);
  EXPECT_EQ(Count("Remove"), 1);
  EXPECT_EQ(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr);
  // The image unloaded after its pool was checked for leaks.
  EXPECT_EQ(Log().back(), "Unload");
}

TEST_F(PnpRemovalTest, SurpriseRemovalWithAHandleOpenRemovesAtTheLastClose) {
  AddDevice();
  HANDLE h = Open();
  sim::kernel::pnp::SurpriseRemove(node);
  sim::kernel::pnp::WaitIdle();
  EXPECT_EQ(Count("SurpriseRemoval"), 1);
  EXPECT_EQ(Count("Remove"), 0);
  EXPECT_NE(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr);
  EXPECT_EQ(StartRead(h)->Wait(), STATUS_DELETE_PENDING);
  Close(h);
  sim::kernel::pnp::WaitIdle();
  EXPECT_EQ(Count("Remove"), 1);
  EXPECT_EQ(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr);
  EXPECT_EQ(Log().back(), "Unload");
}

TEST_F(PnpRemovalTest, OrderlyRemoveIsVetoedWhileOpenAndCompletesOnceAfter) {
  AddDevice();
  HANDLE h = Open();
  EXPECT_EQ(sim::kernel::pnp::QueryRemoveAndRemove(node), STATUS_DEVICE_BUSY);
  EXPECT_EQ(StartRead(h)->Wait(), STATUS_SUCCESS);
  Close(h);
  EXPECT_EQ(sim::kernel::pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS);
  EXPECT_EQ(Count("Remove"), 1);
  EXPECT_EQ(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr);
}

// Stop and restart, then removal of either kind, again and again, while other threads
// keep reading and writing through their own handles until the device is gone.
TEST_F(PnpRemovalTest, CyclesWithRacingRequestsStayQuiet) {
  control.ReadDelayMs = 3;
  for (int cycle = 0; cycle < 4; cycle++) {
    AddDevice();
    ASSERT_EQ(sim::kernel::pnp::Rebalance(node), STATUS_SUCCESS);
    std::vector<HANDLE> open;
    for (int i = 0; i < 3; i++) open.push_back(Open());
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++) {
      HANDLE h = open[i];
      threads.emplace_back([&, h, i] {
        sim::kernel::SetThreadName("racer");
        for (int n = 0; n < 20; n++) {
          auto r = Start(h, (n + i) % 2 == 0);
          NTSTATUS s = r->Wait();
          if (s == STATUS_DELETE_PENDING) break;
          EXPECT_EQ(s, STATUS_SUCCESS);
        }
        finished++;
      });
    }
    sim::kernel::Sleep(5);
    sim::kernel::pnp::SurpriseRemove(node);
    sim::kernel::HostBlocking([&] {
      for (auto& t : threads) t.join();
    });
    for (HANDLE h : open) Close(h);
    sim::kernel::pnp::WaitIdle();
    EXPECT_EQ(finished, 3);
    EXPECT_EQ(sim::kernel::FindDevice(pnpdev::kDeviceName), nullptr) << "cycle " << cycle;
    ClearLog();
  }
}

}  // namespace
