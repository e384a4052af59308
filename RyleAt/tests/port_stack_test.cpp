// Q93Kat under the real COM-port driver Q93Ksw on the fake bus's AT child, as Q93Kpt.inf
// installs them: an application writes "AT\r" to the port and reads the phone's answer,
// and unplugging with the port open leaves the channel stopped and the stack gone once
// the handle closes.
#include "at_fixture.h"

namespace attest {
namespace {

class PortStackTest : public AtFixture {
 protected:
  // Q93Kpt.inf as shipped: Q93Ksw is the AT child's upper filter.
  bool WithComPort() override { return true; }

  HANDLE OpenPort() {
    HANDLE h = nullptr;
    EXPECT_EQ(sim::kernel::OpenFile("\\??\\COM5", GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
              STATUS_SUCCESS);
    if (h) handles.push_back(h);
    return h;
  }
};

TEST_F(PortStackTest, TheInfPutsTheComPortAboveQ93Kat) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  EXPECT_EQ(childNode->upperFilters, std::vector<std::string>{"Q93Ksw"});
  std::vector<std::string> services;
  for (PDEVICE_OBJECT d : pnp::StackOf(childNode)) services.push_back(sim::kernel::io::ServiceOf(d->DriverObject));
  EXPECT_EQ(services, (std::vector<std::string>{FAKE_BUS_SERVICE, "Q93Kat", "Q93Ksw"}));
  EXPECT_EQ(sim::kernel::LinkTarget("\\??\\COM5"), "\\Device\\Q93Ksw0");
  EXPECT_EQ(reg::GetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Ksw", "Start"), 3u);
}

TEST_F(PortStackTest, AnApplicationSendsAtAndReadsTheAnswer) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  HANDLE h = OpenPort();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(control.Starts, 1);
  ULONG_PTR n = 0;
  ASSERT_EQ(sim::kernel::Write(h, "AT\r", 3, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(BusData(), "AT\r");
  EXPECT_EQ(CommandSent(3), 1);

  char answer[6] = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  sim::kernel::Read(h, answer, sizeof answer, nullptr, &n, {&done, &iosb});
  const std::string ok = "\r\nOK\r\n";
  auto* b = static_cast<PCHANNEL_BUFFER>(ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_ALLOCATION_SIZE, 0x206D6457));
  b->Length = (ULONG)ok.size();
  b->Offset = 0;
  memcpy(b->Data, ok.data(), ok.size());
  EXPECT_EQ(ResponseReceived(b), 1);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(answer, iosb.Information), ok);
}

TEST_F(PortStackTest, UnplugWithThePortOpenStopsTheChannel) {
  ASSERT_NO_FATAL_FAILURE(Arrive());
  HANDLE h = OpenPort();
  ASSERT_NE(h, nullptr);
  std::string data(300, 'x');
  ULONG_PTR n = 0;
  ASSERT_EQ(sim::kernel::Write(h, data.data(), 300, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(Chunks(), std::vector<ULONG>{128});
  pnp::SurpriseRemove(childNode);
  pnp::WaitIdle();
  std::erase(handles, h);
  sim::kernel::CloseHandle(h);
  pnp::WaitIdle();
  EXPECT_EQ(control.Stops, 1);
  EXPECT_EQ(control.BoundAtRemoval, 0);
  EXPECT_EQ(sim::kernel::FindDevice(kAtDevice), nullptr);
}

}  // namespace
}  // namespace attest
