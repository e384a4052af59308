// Q93Kat under the real COM-port driver Q93Ksw on the fake bus's AT child: an application
// writes "AT\r" to the port and reads the phone's answer, and unplugging with the port
// open leaves the channel stopped and the stack gone once the handle closes.
#include <filesystem>

#include "at_fixture.h"

namespace attest {
namespace {

class PortStackTest : public AtFixture {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(std::string(Q93K_DRIVER_DIR) + "/Q93Ksw.so")) GTEST_SKIP() << "no Q93Ksw image";
    AtFixture::SetUp();
    std::string port = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q93Ksw";
    reg::SetString(port, "ImagePath", "\\SystemRoot\\System32\\drivers\\Q93Ksw.sys", REG_EXPAND_SZ);
    reg::SetDword(port, "Type", 1);
    reg::SetDword(port, "Start", 3);
    reg::SetMultiString(kAtRecord, "UpperFilters", {"Q93Ksw"});
  }

  HANDLE OpenPort() {
    HANDLE h = nullptr;
    EXPECT_EQ(sim::kernel::OpenFile("\\??\\COM5", GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
              STATUS_SUCCESS);
    if (h) handles.push_back(h);
    return h;
  }
};

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
