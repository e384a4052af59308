// Injected faults and bus events: halted and NAKing endpoints, unplug
// triggers, dropped and delayed notifications, notifications that fill
// whole packets, bus reset and remote wake-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    host.configure();
    host.activate(1, function_code::kExtra);  // raw echo stream on slot 1
  }
  Q93KPhone phone;
  TestHost host{phone};
};

TEST_F(Faults, StalledEndpointStaysHaltedUntilClearHalt) {
  phone.stallEndpoint(layout::kObexBulkOut);
  Bytes packet;
  for (int i = 0; i < 3; ++i, host.frames(10))
    EXPECT_EQ(phone.out(layout::kObexBulkOut, bytesOf("x"), host.now), Handshake::Stall);
  EXPECT_EQ(host.controlIn(0x82, 0x00, 0, layout::kObexBulkOut, 2), (Bytes{1, 0}));
  EXPECT_EQ(phone.in(layout::kObexBulkIn, 64, packet, host.now), Handshake::Nak) << "only the halted pipe";
  phone.clearHalt(layout::kObexBulkOut);
  EXPECT_EQ(phone.out(layout::kObexBulkOut, bytesOf("x"), host.now), Handshake::Ack);
  EXPECT_EQ(textOf(host.bulkRead(layout::kObexBulkIn, 1)), "x");
  // The host can halt and clear a pipe with standard requests too.
  ASSERT_EQ(host.controlOut(0x02, 0x03, 0, layout::kObexBulkIn), Handshake::Ack);
  EXPECT_EQ(phone.in(layout::kObexBulkIn, 64, packet, host.now), Handshake::Stall);
  ASSERT_EQ(host.controlOut(0x02, 0x01, 0, layout::kObexBulkIn), Handshake::Ack);
  EXPECT_EQ(phone.in(layout::kObexBulkIn, 64, packet, host.now), Handshake::Nak);
}

TEST_F(Faults, NakForFramesCountsFromTheNextToken) {
  phone.withPeer(PeerId::Extra, [](RemotePeer& p) { p.send(Bytes{1, 2, 3}); });
  host.frames(500);  // the count starts at the next token, not when it was armed
  phone.nakEndpoint(layout::kObexBulkIn, 20);
  Bytes packet;
  const uint64_t start = host.now;
  while (phone.in(layout::kObexBulkIn, 64, packet, host.now) == Handshake::Nak) host.frames(1);
  EXPECT_EQ(host.now - start, 20 * usb::kFrameTime);
  EXPECT_EQ(packet, (Bytes{1, 2, 3}));
}

TEST_F(Faults, UnplugAfterBulkBytesFiresAtTheCount) {
  const struct {
    UnplugTrigger trigger;
    int requests;
    uint64_t PeerCounters::*counter;
    uint64_t atRequest;  // counter value when the host was asked to unplug
  } cases[] = {
      {{UnplugTrigger::Kind::AfterBulkInBytes, 100}, 1, &PeerCounters::bytesToHost, 100},
      {{UnplugTrigger::Kind::AfterBulkOutBytes, 130}, 1, &PeerCounters::bytesFromHost, 192},
      {{UnplugTrigger::Kind::AfterBulkInBytes, 100, layout::kModemBulkIn}, 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    h.activate(1, function_code::kExtra);
    int requests = 0;
    uint64_t atRequest = 0;
    p.onUnplugRequest = [&] {
      ++requests;
      if (c.counter) atRequest = p.peerCounters(PeerId::Extra).*c.counter;
    };
    p.setUnplugTrigger(c.trigger);
    for (int i = 0; i < 4 && !requests; ++i) {
      h.bulkWrite(layout::kObexBulkOut, Bytes(64, 0x55));
      Bytes packet;
      while (!requests && p.in(layout::kObexBulkIn, 64, packet, h.now) == Handshake::Ack) {
      }
    }
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(atRequest, c.atRequest);
  }
}

TEST_F(Faults, UnplugAtVendorRequestMayCallBackIntoTheModel) {
  bool called = false;
  phone.onUnplugRequest = [&] {
    called = true;
    phone.busReset(host.now);  // the host detaches from inside the callback
  };
  phone.setUnplugTrigger({UnplugTrigger::Kind::AtVendorRequest, 0, 0, kDisableRequest});
  EXPECT_EQ(host.controlOut(0x41, kActivateRequest, 0x60, layout::kObexControl), Handshake::Ack);
  EXPECT_FALSE(called) << "only the chosen request";
  EXPECT_EQ(host.controlOut(0x41, kDisableRequest, 0, layout::kObexControl), Handshake::Stall);
  EXPECT_TRUE(called);
  EXPECT_FALSE(phone.configured());
  auto log = phone.wireLog();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const WireEvent& e) {
    return e.kind == WireEvent::Kind::UnplugRequest;
  }));
}

TEST_F(Faults, NotificationFaultsByCode) {
  host.activate(2, function_code::kAt);
  host.notification(layout::kAtNotify);
  phone.setNotificationFault(kNotifyResponseAvailable, {.drop = true, .count = 1});
  auto sendAt = [&] {
    ASSERT_EQ(host.controlOut(0x21, 0x00, 0, layout::kAtControl, bytesOf("AT\r")), Handshake::Ack);
  };
  sendAt();
  EXPECT_FALSE(host.notification(layout::kAtNotify, 20));
  // The response itself is still there for a host that asks anyway.
  EXPECT_EQ(textOf(host.controlIn(0xA1, 0x01, 0, layout::kAtControl, 64)), "\r\nOK\r\n");
  phone.setNotificationFault(kNotifyResponseAvailable, {.delayFrames = 40, .count = 1});
  sendAt();
  EXPECT_FALSE(host.notification(layout::kAtNotify, 30));
  EXPECT_TRUE(host.notification(layout::kAtNotify, 20));
}

TEST_F(Faults, NotificationFillingWholePacketsEndsWithAnEmptyOne) {
  const struct {
    size_t maxPacket;
    std::vector<size_t> packets;
  } cases[] = {{16, {8}}, {8, {8, 0}}, {4, {4, 4, 0}}};
  for (const auto& c : cases) {
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    ASSERT_EQ(h.controlOut(0x41, kProbeRequest, 0, layout::kObexControl, {2, 0x60}), Handshake::Ack);
    std::vector<size_t> sizes;
    Bytes packet;
    while (p.in(layout::kObexNotify, c.maxPacket, packet, h.now) == Handshake::Ack)
      sizes.push_back(packet.size());
    EXPECT_EQ(sizes, c.packets) << c.maxPacket;
  }
}

TEST_F(Faults, BusResetDeconfiguresAndEndsFunctions) {
  phone.busReset(host.now);
  EXPECT_FALSE(phone.configured());
  EXPECT_EQ(phone.activeFunction(1), 0);
  Bytes packet;
  EXPECT_EQ(phone.in(layout::kObexBulkIn, 64, packet, host.now), Handshake::Stall);
  EXPECT_EQ(host.controlOut(0x41, kActivateRequest, 0x60, layout::kObexControl), Handshake::Stall);
}

TEST_F(Faults, RingWhileSuspendedAsksForRemoteWakeupOnceWhenEnabled) {
  for (bool enabled : {false, true}) {
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    h.activate(0, function_code::kModem);
    int wakes = 0;
    p.onRemoteWakeup = [&] { ++wakes; };
    if (enabled) {
      ASSERT_EQ(h.controlOut(0x00, 0x03, 1, 0), Handshake::Ack);  // DEVICE_REMOTE_WAKEUP
    }
    p.suspend(true, h.now);
    Bytes packet;
    EXPECT_EQ(p.in(layout::kModemNotify, 16, packet, h.now), Handshake::Nak);
    EXPECT_TRUE(p.incomingCall(1));
    p.withPeer(PeerId::Modem, [](RemotePeer& peer) { peer.send(Bytes{1}); });
    EXPECT_EQ(wakes, enabled ? 1 : 0);
  }
  PhoneDescription d;
  d.remoteWakeup = false;
  Q93KPhone noWake(d);
  TestHost h{noWake};
  EXPECT_EQ(h.controlOut(0x00, 0x03, 1, 0), Handshake::Stall);
}

TEST_F(Faults, SettersFromAnotherThreadWhileTheHostPolls) {
  std::atomic<bool> stop = false;
  std::thread injector([&] {
    for (int i = 0; !stop; ++i) {
      phone.setVendorReplyFault(kProbeRequest, {.delayFrames = uint32_t(i % 3)});
      (void)phone.peerCounters(PeerId::Extra);
      phone.withPeer(PeerId::Extra, [](RemotePeer& p) { p.send(Bytes{7}); });
      (void)phone.wireLog();
    }
  });
  size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got < 100 && std::chrono::steady_clock::now() < deadline)
    got += host.bulkRead(layout::kObexBulkIn, 64, 1).size();
  stop = true;
  injector.join();
  EXPECT_GE(got, 100u);
}

}  // namespace
}  // namespace sim::phone::testing
