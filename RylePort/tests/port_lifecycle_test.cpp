// The port's life cycle through the PnP manager: its names outside the driver appearing
// at start and going at removal, unplug with a handle open and a read pending, a close
// that comes with a write's completion, exclusive opens, port names that do not fit, and
// power requested at start, open and close.
#include <gtest/gtest.h>

#include "port_fixture.h"
#include "power.h"

namespace {

using porttest::PortFixture;

class PortLifecycleTest : public PortFixture {
 protected:
  static bool LinkPresent() { return !sim::kernel::LinkTarget("\\??\\COM7").empty(); }
  static bool MapPresent(const char* device) {
    return sim::kernel::registry::GetString(porttest::kSerialComm, device).has_value();
  }
  static size_t Interfaces() { return sim::kernel::EnabledInterfaces(porttest::kComPortGuid).size(); }
};

TEST_F(PortLifecycleTest, StartNamesThePort) {
  Plug();
  EXPECT_EQ(sim::kernel::LinkTarget("\\??\\COM7"), "\\Device\\Q93Ksw0");
  EXPECT_EQ(sim::kernel::registry::GetString(porttest::kSerialComm, "\\Device\\Q93Ksw0"), "COM7");
  EXPECT_EQ(Interfaces(), 1u);
  // A fresh service key gets the FIFO defaults written back.
  std::string service = std::string(porttest::kServices) + "Q93Ksw";
  EXPECT_EQ(sim::kernel::registry::GetDword(service, "TxFIFO"), 14u);
  EXPECT_EQ(sim::kernel::registry::GetDword(service, "LogFifo"), 0u);
  EXPECT_TRUE(sim::kernel::EventLog().empty());
}

// The names go at surprise removal or removal, whichever comes first.
struct RemovalCase {
  const char* name;
  bool surprise;
};
class PortRemovalTest : public PortLifecycleTest, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(PortRemovalTest, NamesGoAtTheFirstRemoval) {
  auto* node = Plug();
  ASSERT_TRUE(LinkPresent());
  if (GetParam().surprise) {
    sim::kernel::pnp::SurpriseRemove(node);
    sim::kernel::pnp::WaitIdle();
  } else {
    ASSERT_EQ(sim::kernel::pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS);
  }
  EXPECT_FALSE(LinkPresent());
  EXPECT_FALSE(MapPresent("\\Device\\Q93Ksw0"));
  EXPECT_EQ(Interfaces(), 0u);
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93Ksw0"), nullptr);
  EXPECT_EQ(sim::kernel::LoadedDriver("Q93Ksw"), nullptr);  // unloaded after its leak check
  EXPECT_TRUE(sim::kernel::EventLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Removals, PortRemovalTest,
                         ::testing::Values(RemovalCase{"Surprise", true}, RemovalCase{"Orderly", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortLifecycleTest, UnplugWithAReadPendingAndTheHandleOpen) {
  auto* node = Plug();
  HANDLE h = Open();
  auto r = StartRead(h, 10);
  sim::kernel::Sleep(5);
  ASSERT_FALSE(r->Finished());
  sim::kernel::pnp::SurpriseRemove(node);
  sim::kernel::pnp::WaitIdle();
  EXPECT_TRUE(NT_ERROR(r->Wait()));
  // The names go at once; the device object stays for the open handle.
  EXPECT_FALSE(LinkPresent());
  EXPECT_FALSE(MapPresent("\\Device\\Q93Ksw0"));
  EXPECT_EQ(Interfaces(), 0u);
  EXPECT_NE(sim::kernel::FindDevice("\\Device\\Q93Ksw0"), nullptr);
  auto late = StartRead(h, 1);
  EXPECT_EQ(late->Wait(), STATUS_DELETE_PENDING);
  Close(h);
  sim::kernel::pnp::WaitIdle();
  // The control driver below got the close and unbound its channel.
  EXPECT_EQ(control.Closes, 1);
  EXPECT_EQ(control.Binding, nullptr);
  EXPECT_EQ(sim::kernel::FindDevice("\\Device\\Q93Ksw0"), nullptr);
  EXPECT_EQ(sim::kernel::LoadedDriver("Q93Ksw"), nullptr);

  // The next plug reuses the COM name (the image was unloaded, so its unit count starts over).
  Plug();
  EXPECT_EQ(sim::kernel::LinkTarget("\\??\\COM7"), "\\Device\\Q93Ksw0");
  HANDLE again = Open();
  ASSERT_EQ(SetTimeouts(again, 0, 0, 500), STATUS_SUCCESS);
  auto w = StartWrite(again, "AT\r");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  auto echo = StartRead(again, 3);
  EXPECT_EQ(echo->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(echo->Text(), "AT\r");
}

// The application closes its handle while the channel still has a write in hand: the
// write keeps the file until the transmit thread finishes it, so the close comes only
// with that write's completion, and must not find the thread waiting for itself.
TEST_F(PortLifecycleTest, CloseWhileTheChannelHoldsAWrite) {
  Plug();
  HANDLE h = Open();
  KEVENT entered, release;
  KeInitializeEvent(&entered, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  control.WriteEntered = &entered;
  control.WriteRelease = &release;
  auto w = StartWrite(h, "AT\r");
  KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
  Close(h);
  EXPECT_EQ(control.Closes, 0);  // the write still holds the file
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(w->Wait(), STATUS_CANCELLED);
  sim::kernel::Sleep(5);
  EXPECT_EQ(control.Closes, 1);
  EXPECT_EQ(control.Binding, nullptr);
  // The port is closed properly: it opens again and moves data.
  control.WriteRelease = nullptr;
  HANDLE again = Open();
  ASSERT_EQ(SetTimeouts(again, 0, 0, 500), STATUS_SUCCESS);
  EXPECT_EQ(StartWrite(again, "AT\r")->Wait(), STATUS_SUCCESS);
  auto echo = StartRead(again, 3);
  EXPECT_EQ(echo->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(echo->Text(), "AT\r");
}

TEST_F(PortLifecycleTest, SecondOpenIsDeniedAndTheFirstIsUntouched) {
  Plug();
  HANDLE first = Open();
  ASSERT_EQ(SetTimeouts(first, 0, 0, 500), STATUS_SUCCESS);
  HANDLE second;
  EXPECT_EQ(TryOpen(&second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(control.Opens, 1);
  auto w = StartWrite(first, "AT\r");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
  auto r = StartRead(first, 3);
  EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r->Text(), "AT\r");
}

TEST_F(PortLifecycleTest, RefusedBindingLeavesThePortClosedAndReopenable) {
  Plug();
  control.OpenStatus = STATUS_UNSUCCESSFUL;
  HANDLE h;
  EXPECT_EQ(TryOpen(&h), STATUS_UNSUCCESSFUL);
  control.OpenStatus = STATUS_SUCCESS;
  HANDLE ok = Open();
  auto w = StartWrite(ok, "x");
  EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
}

// A port name that does not fit the 32-character buffer is never cut into another name.
TEST_F(PortLifecycleTest, PortNameTooLongIsNotTruncated) {
  std::string longName = "COM" + std::string(40, '9');
  SetPortName(longName);
  Plug();
  EXPECT_TRUE(sim::kernel::LinkTarget("\\??\\" + longName).empty());
  EXPECT_TRUE(sim::kernel::LinkTarget("\\??\\" + longName.substr(0, 32)).empty());
  EXPECT_FALSE(MapPresent("\\Device\\Q93Ksw0"));
  auto log = sim::kernel::EventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].source, "Q93Ksw");
  EXPECT_EQ((ULONG)log[0].errorCode, 0x80060004u);
}

TEST_F(PortLifecycleTest, SleepsWhenClosedAndWakesForAnOpen) {
  Plug();
  PDEVICE_OBJECT port = sim::kernel::FindDevice("\\Device\\Q93Ksw0");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(sim::kernel::power::DeviceState(port), PowerDeviceD3);
  HANDLE h = Open();
  EXPECT_EQ(sim::kernel::power::DeviceState(port), PowerDeviceD0);
  Close(h);
  EXPECT_EQ(sim::kernel::power::DeviceState(port), PowerDeviceD3);
}

}  // namespace
