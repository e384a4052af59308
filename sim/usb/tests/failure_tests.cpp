// Failures as the host reports them: unplug with transfers in flight, bad
// pipe handles and oversized transfers, requests to a device that is gone,
// stalls that halt a pipe until it is reset, aborts and cancelled URBs.
#include "kernel.h"
#include "usb/tests/usb_fixture.h"

namespace sim::usb::testing {
namespace {

using namespace phone;

class Failures : public PluggedPhone {
 protected:
  void StartRead(PendingUrb& r, uint8_t endpoint, ULONG length = 64) {
    r.buffer.assign(length, 0);
    UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           client->Pipe(endpoint), r.buffer.data(), nullptr, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    ASSERT_EQ(client->Start(r), STATUS_PENDING);
  }
};

TEST_F(Failures, UnplugCompletesEveryPendingUrbOnceWithDeviceGone) {
  Configure();
  PendingUrb reads[4];
  const uint8_t endpoints[] = {layout::kModemBulkIn, layout::kObexBulkIn, layout::kModemNotify, layout::kAtNotify};
  for (int i = 0; i < 4; ++i) StartRead(reads[i], endpoints[i]);
  sim::kernel::Sleep(5);  // NAKed for a few frames
  Port().Unplug();
  for (auto& r : reads) {
    EXPECT_EQ(client->Wait(r), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(r.completions, 1);
  }
  // A request to the device that is gone fails at once.
  Bytes d;
  EXPECT_EQ(client->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, d), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Port().PortStatus(), 0u);
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
  EXPECT_EQ(c.pending, 0u);
}

TEST_F(Failures, PhoneUnplugTriggerMidTransfer) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  phone->setUnplugTrigger(UnplugTrigger{.kind = UnplugTrigger::Kind::AfterBulkOutBytes, .bytes = 200});
  PendingUrb read;
  StartRead(read, layout::kModemNotify, 16);
  Bytes big(4096, 'x');
  EXPECT_EQ(client->Write(layout::kModemBulkOut, big), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(client->Wait(read), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(Port().Connected());
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
}

TEST_F(Failures, BadRequestsGetTheStatusWindowsGives) {
  Configure();
  Bytes buffer(8192);
  struct Case {
    const char* name;
    USBD_PIPE_HANDLE pipe;
    ULONG length;
    ULONG flags;
    USHORT function;
    USBD_STATUS usbd;
    NTSTATUS nt;
  } cases[] = {
      {"bad pipe handle", reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 64, USBD_TRANSFER_DIRECTION_IN,
       URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
      {"larger than the pipe's maximum", client->Pipe(layout::kModemBulkIn), 4097, USBD_TRANSFER_DIRECTION_IN,
       URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"direction against the endpoint", client->Pipe(layout::kModemBulkOut), 64, USBD_TRANSFER_DIRECTION_IN,
       URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {"unknown function", client->Pipe(layout::kModemBulkIn), 64, USBD_TRANSFER_DIRECTION_IN, 0x0099,
       USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    URB urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), k.pipe,
                                           buffer.data(), nullptr, k.length, k.flags, nullptr);
    urb.UrbHeader.Function = k.function;
    EXPECT_EQ(client->Call(&urb), k.nt);
    EXPECT_EQ(urb.UrbHeader.Status, k.usbd);
  }
  // A pipe handle from before a new configuration is no longer valid.
  USBD_PIPE_HANDLE old = client->Pipe(layout::kModemBulkIn);
  Bytes config;
  ASSERT_EQ(client->ReadConfiguration(config), STATUS_SUCCESS);
  ASSERT_EQ(client->SelectConfiguration(config), STATUS_SUCCESS);
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), old, buffer.data(),
                                         nullptr, 64, USBD_TRANSFER_DIRECTION_IN, nullptr);
  EXPECT_EQ(client->Call(&urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Failures, StallHaltsThePipeUntilReset) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  phone->stallEndpoint(layout::kModemBulkIn);
  Bytes d;
  EXPECT_EQ(client->Read(layout::kModemBulkIn, 64, d), STATUS_UNSUCCESSFUL);
  URB probe = {};
  Bytes buffer(64);
  UsbBuildInterruptOrBulkTransferRequest(&probe, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         client->Pipe(layout::kModemBulkIn), buffer.data(), nullptr, 64,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  EXPECT_EQ(client->Call(&probe), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(probe.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  ASSERT_EQ(client->ResetPipe(layout::kModemBulkIn), STATUS_SUCCESS);
  // Working again: the modem answers an AT command.
  ASSERT_EQ(client->Write(layout::kModemBulkOut, BytesOf("AT\r")), STATUS_SUCCESS);
  EXPECT_NE(client->ReadUntil(layout::kModemBulkIn, "OK\r\n").find("OK"), std::string::npos);
}

TEST_F(Failures, StalledStatusOnFirstRead) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  phone->stallEndpoint(layout::kModemBulkIn);
  URB urb = {};
  Bytes buffer(64);
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         client->Pipe(layout::kModemBulkIn), buffer.data(), nullptr, 64,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  EXPECT_EQ(client->Call(&urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(Failures, ShortPacketWithoutShortTransferOkHaltsThePipe) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  ASSERT_EQ(client->Write(layout::kModemBulkOut, BytesOf("AT\r")), STATUS_SUCCESS);
  Bytes d;
  EXPECT_EQ(client->Read(layout::kModemBulkIn, 4096, d, /*shortOk=*/false, 1000), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(d.empty());  // what arrived before the short packet is reported
}

TEST_F(Failures, AbortAndCancelCompleteWithCancelled) {
  Configure();
  PendingUrb a, b;
  StartRead(a, layout::kModemBulkIn);
  StartRead(b, layout::kModemBulkIn);
  ASSERT_EQ(client->AbortPipe(layout::kModemBulkIn), STATUS_SUCCESS);
  for (auto* r : {&a, &b}) {
    EXPECT_EQ(r->status, STATUS_CANCELLED);  // done before the abort returned
    EXPECT_EQ(r->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(r->completions, 1);
  }
  // A sender's time limit cancels its URB; it comes back once, cancelled.
  const ULONGLONG t0 = sim::kernel::Now();
  Bytes d;
  EXPECT_EQ(client->Read(layout::kModemBulkIn, 64, d, true, 200), STATUS_TIMEOUT);
  EXPECT_EQ(sim::kernel::Now() - t0, 200u * 10000);
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
}

TEST_F(Failures, ControlTransfersTakeAFramePerStage) {
  Configure();
  const ULONGLONG t0 = sim::kernel::Now();
  Bytes d;
  ASSERT_EQ(client->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, d), STATUS_SUCCESS);
  const ULONGLONG frames = (sim::kernel::Now() - t0) / kFrameTime;
  EXPECT_GE(frames, 3u);  // setup, data, status
  EXPECT_LE(frames, 4u);
  URB urb = {};
  urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  ASSERT_EQ(client->Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbGetCurrentFrameNumber.FrameNumber, ULONG(sim::kernel::Now() / kFrameTime));
}

TEST_F(Failures, CyclePortReenumeratesAndResetKeepsTheConfiguration) {
  Configure();
  ASSERT_EQ(Port().ResetPort(), STATUS_SUCCESS);
  Bytes d;
  EXPECT_EQ(client->Read(layout::kModemBulkIn, 64, d, true, 20), STATUS_TIMEOUT);  // pipe still valid
  EXPECT_EQ(phone->configured(), true);
  ASSERT_EQ(Port().CyclePort(), STATUS_SUCCESS);
  for (int i = 0; i < 100 && !Port().Connected(); ++i) sim::kernel::Sleep(1);
  EXPECT_EQ(Port().PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  EXPECT_FALSE(phone->configured());
  EXPECT_EQ(client->Read(layout::kModemBulkIn, 64, d), STATUS_INVALID_PARAMETER);  // old handles gone
}

}  // namespace
}  // namespace sim::usb::testing
