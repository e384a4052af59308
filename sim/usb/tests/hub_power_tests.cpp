// Device power of the hub's PDO: D2 and D3 suspend the port and refuse new
// URBs, D0 resumes it, a wait-wake pends until the phone signals remote
// wake-up (and ends when the device goes to D3 or away).
#include "kernel.h"
#include "power.h"
#include "usb/tests/hub_fixture.h"

namespace sim::usb::testing {
namespace {

using namespace phone;

struct PowerWait {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  int completions = 0;
};

void PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* w = static_cast<PowerWait*>(context);
  w->status = iosb->Status;
  ++w->completions;
  KeSetEvent(&w->done, 0, FALSE);
}

class HubPower : public HubTest {
 protected:
  void SetUp() override {
    HubTest::SetUp();
    InstallPassThroughDriver();
  }
  // Requests a power IRP for the phone's stack, as its power policy owner would.
  NTSTATUS Request(PowerWait& w, UCHAR minor, POWER_STATE state) {
    KeInitializeEvent(&w.done, NotificationEvent, FALSE);
    return PoRequestPowerIrp(hub->Pdo(0), minor, state, PowerDone, &w, nullptr);
  }
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE d) {
    PowerWait w;
    POWER_STATE s;
    s.DeviceState = d;
    if (!NT_SUCCESS(Request(w, IRP_MN_SET_POWER, s))) return STATUS_UNSUCCESSFUL;
    KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
    return w.status;
  }
  void StartWaitWake(PowerWait& w) {
    POWER_STATE s;
    s.SystemState = PowerSystemSleeping3;
    ASSERT_EQ(Request(w, IRP_MN_WAIT_WAKE, s), STATUS_PENDING);
  }
  bool Done(PowerWait& w, ULONG ms = 50) {
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(ms) * 10000;
    return KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
  }
};

TEST_F(HubPower, LowPowerStatesSuspendAndD0Resumes) {
  Configure();
  for (DEVICE_POWER_STATE d : {PowerDeviceD2, PowerDeviceD3}) {
    SCOPED_TRACE(int(d));
    ASSERT_EQ(SetDevicePower(d), STATUS_SUCCESS);
    EXPECT_TRUE(Port().Suspended());
    EXPECT_EQ(sim::kernel::power::DeviceState(hub->Pdo(0)), d);
    // A suspended device takes no new transfers.
    URB urb = {};
    Bytes buffer(18);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buffer.data(), nullptr, 18, nullptr);
    EXPECT_EQ(client->Call(&urb), NTSTATUS(0x8000000FL));  // STATUS_DEVICE_POWERED_OFF
    EXPECT_FALSE(NT_SUCCESS(urb.UrbHeader.Status));

    ASSERT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(Port().Suspended());
    EXPECT_EQ(Activate(0, function_code::kModem), 0x0001);
  }
}

TEST_F(HubPower, RemoteWakeupCompletesThePendingWaitWake) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  PowerWait wake;
  StartWaitWake(wake);
  PowerWait second;
  StartWaitWake(second);  // only one may pend
  ASSERT_TRUE(Done(second));
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);

  ASSERT_EQ(SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
  ASSERT_TRUE(Port().Suspended());
  EXPECT_FALSE(Done(wake, 500)) << "nothing happened yet";
  // A call comes in: the armed phone signals wake-up and the port resumes.
  ASSERT_TRUE(phone->incomingCall());
  ASSERT_TRUE(Done(wake, 2000));
  EXPECT_EQ(wake.status, STATUS_SUCCESS);
  EXPECT_EQ(wake.completions, 1);
  EXPECT_FALSE(Port().Suspended());
  ASSERT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Activate(2, function_code::kAt), 0x0001);
}

TEST_F(HubPower, WaitWakeEndsWhenWakeIsImpossible) {
  const struct Case {
    const char* what;
    bool remoteWakeup;
    NTSTATUS expected;
  } cases[] = {
      {"device without remote wake-up", false, STATUS_NOT_SUPPORTED},
      {"device sent to D3", true, NTSTATUS(0xC00002D3L)},  // STATUS_POWER_STATE_INVALID
      {"device unplugged", true, STATUS_NO_SUCH_DEVICE},
      {"cancelled by its sender", true, STATUS_CANCELLED},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    PhoneDescription d;
    d.remoteWakeup = k.remoteWakeup;
    Plug(d);
    PowerWait w;
    POWER_STATE s;
    s.SystemState = PowerSystemSleeping3;
    Request(w, IRP_MN_WAIT_WAKE, s);
    if (k.expected == NTSTATUS(0xC00002D3L)) ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    const bool unplug = k.expected == STATUS_NO_SUCH_DEVICE;
    if (unplug) Port().Unplug();
    if (k.expected == STATUS_CANCELLED) sim::kernel::power::CancelWaitWakes(PhoneNode());
    ASSERT_TRUE(Done(w, 1000));
    EXPECT_EQ(w.status, k.expected);
    EXPECT_EQ(w.completions, 1);
    client.reset();
    if (!unplug) Port().Unplug();
    hub->Settle();
  }
}

TEST_F(HubPower, SystemSleepAndWakeWithThePhonePlugged) {
  Configure();
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(sim::kernel::power::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Activate(1, function_code::kObex), 0x0001);
}

}  // namespace
}  // namespace sim::usb::testing
