// Talking to the phone's functions through the host with raw URBs: vendor
// activation and its 0x31 reply, AT commands over encapsulated requests, and
// a dial-up call moving a mebibyte each way at full-speed bulk rates.
#include <chrono>
#include <cstdio>

#include "kernel.h"
#include "usb/tests/usb_fixture.h"

namespace sim::usb::testing {
namespace {

using namespace phone;

class Functions : public PluggedPhone {};

TEST_F(Functions, ActivationIsAnsweredOnTheSlotsInterruptPipe) {
  Configure();
  struct Case {
    int slot;
    uint8_t function;
    bool refuse;
  } cases[] = {{0, function_code::kModem, false}, {1, function_code::kObex, false}, {2, function_code::kAt, false},
               {1, function_code::kObex, true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.slot);
    phone->clearFaults();
    if (k.refuse) phone->setVendorReplyFault(kActivateRequest, VendorReplyFault{.refuse = true, .refusalValue = 0x0000});
    auto reply = Activate(k.slot, k.function);
    ASSERT_TRUE(reply.has_value());
    const bool confirmed = *reply < 0xFF00 && (*reply & 0xFF) == 1;
    EXPECT_EQ(confirmed, !k.refuse);
    if (!k.refuse) EXPECT_EQ(phone->activeFunction(k.slot), k.function);
  }
  const PortCounters c = Port().Counters();
  EXPECT_EQ(c.submitted, c.completed);
}

TEST_F(Functions, AtCommandOverEncapsulatedRequests) {
  Configure();
  ASSERT_EQ(Activate(2, function_code::kAt), 0x0001);
  const uint8_t atIf = layout::kAtControl;
  ASSERT_EQ(client->ClassOut(0x00, 0, atIf, BytesOf("AT\r")), STATUS_SUCCESS);
  ASSERT_TRUE(client->Notification(layout::kAtNotify, kNotifyResponseAvailable).has_value());
  Bytes response;
  ASSERT_EQ(client->ClassIn(0x01, 0, atIf, 2048, response), STATUS_SUCCESS);
  EXPECT_EQ(TextOf(response), "\r\nOK\r\n");
}

TEST_F(Functions, DialedCallMovesAMebibyteEachWayNearTheBulkLimit) {
  Configure();
  ASSERT_EQ(Activate(0, function_code::kModem), 0x0001);
  ASSERT_EQ(client->Write(layout::kModemBulkOut, BytesOf("ATD*99#\r")), STATUS_SUCCESS);
  ASSERT_NE(client->ReadUntil(layout::kModemBulkIn, "CONNECT 115200\r\n").find("CONNECT"), std::string::npos);

  constexpr size_t kMiB = 1 << 20;
  phone->withPeer(PeerId::Modem, [](RemotePeer& p) { p.setPattern(kMiB); });
  auto rate = [](size_t bytes, ULONGLONG t0) { return double(bytes) / (double(sim::kernel::Now() - t0) / 1e7); };

  // Upload: 4096-byte writes, one after another, as the bus driver passes them.
  ULONGLONG t0 = sim::kernel::Now();
  const auto w0 = std::chrono::steady_clock::now();
  for (size_t at = 0; at < kMiB; at += 4096) {
    Bytes chunk(4096);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = patternByte(at + i);
    ASSERT_EQ(client->Write(layout::kModemBulkOut, chunk), STATUS_SUCCESS);
  }
  const double up = rate(kMiB, t0);
  const auto c = phone->peerCounters(PeerId::Modem);
  EXPECT_EQ(c.patternErrors, 0u);
  EXPECT_GE(c.bytesFromHost, kMiB);

  // Download: two reads kept in flight so the pipe never idles.
  t0 = sim::kernel::Now();
  PendingUrb reads[2];
  size_t got = 0, errors = 0;
  auto start = [&](PendingUrb& r) {
    r.buffer.assign(4096, 0);
    UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           client->Pipe(layout::kModemBulkIn), r.buffer.data(), nullptr, 4096,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    client->Start(r);
  };
  start(reads[0]);
  start(reads[1]);
  for (int i = 0; got < kMiB; i ^= 1) {
    ASSERT_EQ(client->Wait(reads[i], 5000), STATUS_SUCCESS);
    EXPECT_EQ(reads[i].completions, 1);
    const ULONG n = reads[i].urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    for (ULONG k = 0; k < n; ++k) errors += reads[i].buffer[k] != patternByte(got + k);
    got += n;
    if (got < kMiB) start(reads[i]);
  }
  const double down = rate(kMiB, t0);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  EXPECT_EQ(errors, 0u);
  std::printf("bulk OUT %.0f B/s, bulk IN %.0f B/s of virtual time (%.2f s wall)\n", up, down, wall);
  // Full speed carries at most 19 x 64 bytes per 1 ms frame (1 216 000 B/s).
  EXPECT_GT(up, 1.0e6);
  EXPECT_LE(up, 1.216e6);
  EXPECT_GT(down, 1.0e6);
  EXPECT_LE(down, 1.216e6);
  for (auto& r : reads)
    if (r.completions == 0) client->Wait(r);
}

}  // namespace
}  // namespace sim::usb::testing
