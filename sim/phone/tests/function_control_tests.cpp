// Switching the phone's functions by vendor request: each reply arrives as a
// 0x31 notification on the right slot's interrupt pipe, refusals and faults
// look as a misbehaving phone would, and only active functions move data.
#include <gtest/gtest.h>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

class FunctionControl : public ::testing::Test {
 protected:
  void SetUp() override { host.configure(); }
  Q93KPhone phone;
  TestHost host{phone};
};

TEST_F(FunctionControl, RepliesArriveOnTheSlotsOwnInterruptPipe) {
  const struct {
    int slot;
    uint8_t request;
    uint16_t value;
    Bytes data;
    uint16_t answer;
  } cases[] = {
      {0, kProbeRequest, 0, {0x02, 0x01}, 0x0001},
      {0, kProbeRequest, 0, {0x02, 0xC0}, 0x0001},
      {0, kProbeRequest, 0, {0x02, 0x60}, 0x0000},  // OBEX is not a slot-0 function
      {1, kProbeRequest, 0, {0x02, 0x60}, 0x0001},
      {2, kProbeRequest, 0, {0x02, 0x02}, 0x0001},
      {2, kProbeRequest, 0, {0x01, 0x02}, 0x0000},  // first data byte must be 2
      {0, kActivateRequest, 0x01, {}, 0x0001},
      {1, kActivateRequest, 0xC0, {}, 0x0001},
      {2, kActivateRequest, 0x01, {}, 0x0000},
      {2, kActivateRequest, 0x0102, {}, 0x0000},
      {1, kActivateRequest, 0, {}, 0x0001},
      {2, kDisableRequest, 0, {}, 0x0001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "slot " << c.slot << " request " << int(c.request));
    const auto& s = layout::kSlots[c.slot];
    ASSERT_EQ(host.controlOut(0x41, c.request, c.value, s.controlInterface, c.data), Handshake::Ack);
    for (int other = 0; other < 3; ++other) {
      if (other == c.slot) continue;
      Bytes packet;
      EXPECT_EQ(phone.in(layout::kSlots[other].notifyEndpoint, 16, packet, host.now), Handshake::Nak);
    }
    const auto n = host.notification(s.notifyEndpoint);
    ASSERT_TRUE(n);
    const Bytes want = {0xA1, 0x31, uint8_t(c.answer), uint8_t(c.answer >> 8),
                        s.controlInterface, 0, 0, 0};
    EXPECT_EQ(*n, want);
    host.notification(s.notifyEndpoint, 3);  // SERIAL_STATE that may follow an activation
  }
}

TEST_F(FunctionControl, MalformedVendorRequestsStall) {
  const struct {
    uint8_t type, request;
    uint16_t index;
    Bytes data;
  } cases[] = {
      {0x41, 0x61, layout::kModemControl, {}},               // unknown request
      {0x41, kProbeRequest, layout::kAtControl, {0x02}},     // short data stage
      {0x41, kActivateRequest, layout::kModemData, {}},      // not a slot's control interface
      {0x40, kActivateRequest, layout::kModemControl, {}},   // device recipient
      {0x41, kActivateRequest, layout::kModemControl, {1}},  // activate carries no data
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host.controlOut(c.type, c.request, 1, c.index, c.data), Handshake::Stall);
  }
  Q93KPhone unconfigured;
  TestHost fresh{unconfigured};
  EXPECT_EQ(fresh.controlOut(0x41, kActivateRequest, 1, layout::kModemControl), Handshake::Stall);
}

TEST_F(FunctionControl, InactiveFunctionNaksItsBulkPipes) {
  Bytes packet;
  EXPECT_EQ(phone.out(layout::kModemBulkOut, bytesOf("AT\r"), host.now), Handshake::Nak);
  EXPECT_EQ(phone.in(layout::kModemBulkIn, 64, packet, host.now), Handshake::Nak);
  host.activate(0, function_code::kModem);
  host.bulkWrite(layout::kModemBulkOut, bytesOf("ATE0\r"));
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "OK\r\n"), "ATE0\r\r\nOK\r\n");
  ASSERT_EQ(host.vendor(0, kActivateRequest, 0), 0x0001);
  EXPECT_EQ(phone.out(layout::kModemBulkOut, bytesOf("AT\r"), host.now), Handshake::Nak);
  // The AT function never uses its bulk pipes.
  host.activate(2, function_code::kAt);
  EXPECT_EQ(phone.in(layout::kAtBulkIn, 64, packet, host.now), Handshake::Nak);
}

TEST_F(FunctionControl, RefusedDroppedAndDelayedReplies) {
  const struct {
    VendorReplyFault fault;
    std::optional<uint16_t> answer;  // none: nothing within 50 frames
    uint8_t activeAfter;
  } cases[] = {
      {{.refuse = true}, 0x0000, 0},
      {{.refuse = true, .refusalValue = 0xFF01}, 0xFF01, 0},
      {{.drop = true}, std::nullopt, function_code::kAt},
      {{.delayFrames = 200}, std::nullopt, function_code::kAt},
  };
  for (const auto& c : cases) {
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    p.setVendorReplyFault(kActivateRequest, c.fault);
    EXPECT_EQ(h.vendor(2, kActivateRequest, function_code::kAt), c.answer);
    EXPECT_EQ(p.activeFunction(2), c.activeAfter);
  }
}

TEST_F(FunctionControl, DelayedReplyComesAfterItsFrames) {
  phone.setVendorReplyFault(kProbeRequest, {.delayFrames = 30, .count = 1});
  ASSERT_EQ(host.controlOut(0x41, kProbeRequest, 0, layout::kObexControl, {2, 0x60}), Handshake::Ack);
  const uint64_t sent = host.now;
  ASSERT_TRUE(host.notification(layout::kObexNotify, 100));
  EXPECT_GE(host.now - sent, 30 * usb::kFrameTime);
  // The fault was for one request only.
  EXPECT_EQ(host.vendor(1, kProbeRequest, 0, {2, 0x60}), 0x0001);
}

TEST_F(FunctionControl, ModemActivationReportsDsrAfterTheReply) {
  ASSERT_EQ(host.controlOut(0x41, kActivateRequest, 1, layout::kModemControl), Handshake::Ack);
  const auto reply = host.notification(layout::kModemNotify);
  const auto state = host.notification(layout::kModemNotify);
  ASSERT_TRUE(reply && state);
  EXPECT_EQ((*reply)[1], 0x31);
  EXPECT_EQ(*state, (Bytes{0xA1, 0x20, 0, 0, layout::kModemControl, 0, 2, 0, kSerialDsr, 0}));
}

TEST_F(FunctionControl, WireLogRecordsRequestsAndNotifications) {
  host.activate(1, function_code::kObex);
  const auto log = phone.wireLog();
  int setups = 0, notifications = 0;
  for (const auto& e : log) {
    if (e.kind == WireEvent::Kind::Setup && e.setup.bRequest == kActivateRequest) {
      ++setups;
      EXPECT_EQ(e.setup.wIndex, layout::kObexControl);
    }
    if (e.kind == WireEvent::Kind::Notification) {
      ++notifications;
      EXPECT_EQ(e.endpoint, layout::kObexNotify);
    }
  }
  EXPECT_EQ(setups, 1);
  EXPECT_EQ(notifications, 1);
}

}  // namespace
}  // namespace sim::phone::testing
