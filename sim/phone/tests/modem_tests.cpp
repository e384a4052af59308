// The data modem on slot 0's bulk pipes: dialling, data to the scripted far
// end, the "+++" escape and its guard times, hang-up from either side, RING.
#include <gtest/gtest.h>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

constexpr uint64_t kSecondFrames = 1000;

class ModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.configure();
    host.activate(0, function_code::kModem);
    host.notification(layout::kModemNotify);  // DSR on
    host.bulkWrite(layout::kModemBulkOut, bytesOf("ATE0\r"));
    host.readUntil(layout::kModemBulkIn, "OK\r\n");
  }
  std::string command(std::string_view text, std::string_view until = "\r\n",
                      uint64_t limit = 100) {
    host.bulkWrite(layout::kModemBulkOut, bytesOf(text));
    return host.readUntil(layout::kModemBulkIn, until, limit);
  }
  uint16_t lastSerialState() {
    uint16_t word = 0xFFFF;
    while (auto n = host.notification(layout::kModemNotify, 5))
      if ((*n)[1] == kNotifySerialState) word = uint16_t((*n)[8] | (*n)[9] << 8);
    return word;
  }
  // Dials and returns the data that came in the packet after CONNECT.
  std::string dial() {
    const std::string connect = "\r\nCONNECT 115200\r\n";
    const std::string got = command("ATD*99#\r", connect);
    EXPECT_EQ(got.substr(0, connect.size()), connect);
    EXPECT_EQ(lastSerialState(), kSerialDcd | kSerialDsr);
    return got.size() > connect.size() ? got.substr(connect.size()) : "";
  }
  Q93KPhone phone;
  TestHost host{phone};
};

TEST_F(ModemTest, DialConnectsAndEchoPeerReturnsData) {
  dial();
  EXPECT_EQ(phone.lastDialed(), "*99#");
  Bytes data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  host.bulkWrite(layout::kModemBulkOut, data);
  EXPECT_EQ(host.bulkRead(layout::kModemBulkIn, data.size()), data);
  EXPECT_EQ(phone.peerCounters(PeerId::Modem).bytesFromHost, data.size());
}

TEST_F(ModemTest, PatternSinkAndSourceCountAndVerify) {
  phone.withPeer(PeerId::Modem, [](RemotePeer& p) { p.setPattern(4096); });
  Bytes got = bytesOf(dial());  // data may share the packet with CONNECT
  const Bytes rest = host.bulkRead(layout::kModemBulkIn, 8192);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_EQ(got.size(), 4096u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], patternByte(i)) << i;
  Bytes out(5000);
  for (size_t i = 0; i < out.size(); ++i) out[i] = patternByte(i);
  out[1234] ^= 1;  // one damaged byte must be found
  host.bulkWrite(layout::kModemBulkOut, out);
  const PeerCounters c = phone.peerCounters(PeerId::Modem);
  EXPECT_EQ(c.bytesFromHost, 5000u);
  EXPECT_EQ(c.bytesToHost, 4096u);
  EXPECT_EQ(c.patternErrors, 1u);
  EXPECT_EQ(c.firstPatternError, 1234u);
}

TEST_F(ModemTest, FullPacketAtEndOfDataIsFollowedByAnEmptyOne) {
  dial();
  phone.withPeer(PeerId::Modem, [](RemotePeer& p) { p.setPattern(128); });
  Bytes packet;
  const Handshake expected[] = {Handshake::Ack, Handshake::Ack, Handshake::Ack, Handshake::Nak};
  const size_t sizes[] = {64, 64, 0, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(phone.in(layout::kModemBulkIn, 64, packet, host.now), expected[i]) << i;
    EXPECT_EQ(packet.size(), sizes[i]) << i;
  }
}

TEST_F(ModemTest, EscapeNeedsGuardTimeOnBothSides) {
  const struct {
    uint64_t before, between, after;  // frames
    bool escapes;
  } cases[] = {
      {1100, 0, 1100, true},
      {1100, 100, 1100, true},
      {500, 0, 1100, false},   // too soon after data
      {1100, 0, 500, false},   // data follows too soon
      {1100, 1100, 1100, false},  // pluses too far apart
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.before << "/" << c.between << "/" << c.after);
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    h.activate(0, function_code::kModem);
    p.withPeer(PeerId::Modem, [](RemotePeer& peer) { peer.setSilent(); });
    h.bulkWrite(layout::kModemBulkOut, bytesOf("ATE0D1\r"));
    ASSERT_NE(h.readUntil(layout::kModemBulkIn, "CONNECT").find("CONNECT"), std::string::npos);
    h.bulkWrite(layout::kModemBulkOut, bytesOf("data"));
    h.frames(c.before);
    for (int i = 0; i < 3; ++i) {
      h.bulkWrite(layout::kModemBulkOut, bytesOf("+"));
      if (i < 2) h.frames(c.between);
    }
    h.frames(c.after);
    if (c.after < 1000) h.bulkWrite(layout::kModemBulkOut, bytesOf("x"));
    const std::string got = h.readUntil(layout::kModemBulkIn, "OK", 1500);
    EXPECT_EQ(got == "\r\nOK\r\n", c.escapes) << got;
    EXPECT_EQ(p.modemState() == Modem::State::OnlineCommand, c.escapes);
    // Pluses that were no escape reached the far end as data.
    EXPECT_EQ(p.peerCounters(PeerId::Modem).bytesFromHost, c.escapes ? 4u : 4u + 3 + (c.after < 1000));
  }
}

TEST_F(ModemTest, OnlineCommandModeThenReturnAndHangUp) {
  dial();
  host.frames(1100);
  EXPECT_EQ(command("+++", "OK\r\n", 1200), "\r\nOK\r\n");
  EXPECT_EQ(lastSerialState(), 0xFFFF) << "carrier stays up in online command mode";
  EXPECT_EQ(command("ATO\r", "CONNECT 115200\r\n"), "\r\nCONNECT 115200\r\n");
  host.bulkWrite(layout::kModemBulkOut, bytesOf("ping"));
  EXPECT_EQ(textOf(host.bulkRead(layout::kModemBulkIn, 4)), "ping");
  host.frames(1100);
  command("+++", "OK\r\n", 1200);
  EXPECT_EQ(command("ATH\r", "OK\r\n"), "\r\nOK\r\n");
  EXPECT_EQ(lastSerialState(), kSerialDsr);
  EXPECT_EQ(command("ATO\r"), "\r\nNO CARRIER\r\n");
}

TEST_F(ModemTest, PeerHangUpDeliversPendingDataThenNoCarrierAndDropsDcd) {
  dial();
  phone.withPeer(PeerId::Modem, [](RemotePeer& p) {
    const Bytes last = bytesOf("bye");
    p.send(last);
    p.hangUp();
  });
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "NO CARRIER\r\n"), "bye\r\nNO CARRIER\r\n");
  EXPECT_EQ(lastSerialState(), kSerialDsr);
  EXPECT_EQ(command("AT\r", "OK\r\n"), "\r\nOK\r\n");
}

TEST_F(ModemTest, CallbackPeerCanHangUpMidStream) {
  phone.withPeer(PeerId::Modem, [](RemotePeer& p) {
    p.setCallback([](std::span<const uint8_t> data, RemotePeer& peer) {
      for (uint8_t b : data)
        if (b == 'Q') peer.hangUp();
      const Bytes upper = {uint8_t(std::toupper(data[0]))};
      peer.send(upper);
    });
  });
  dial();
  host.bulkWrite(layout::kModemBulkOut, bytesOf("a"));
  host.bulkWrite(layout::kModemBulkOut, bytesOf("Q"));
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "NO CARRIER\r\n"), "AQ\r\nNO CARRIER\r\n");
}

TEST_F(ModemTest, DialFailuresAndDelayedConnect) {
  const struct {
    DialAnswer answer;
    std::string text;
  } cases[] = {{DialAnswer::Busy, "\r\nBUSY\r\n"},
               {DialAnswer::NoAnswer, "\r\nNO ANSWER\r\n"},
               {DialAnswer::NoCarrier, "\r\nNO CARRIER\r\n"}};
  for (const auto& c : cases) {
    phone.setDialAnswer(c.answer);
    EXPECT_EQ(command("ATD5551234\r"), c.text);
  }
  EXPECT_EQ(command("ATD\r"), "\r\nERROR\r\n");
  phone.setDialAnswer(DialAnswer::Connect, 2000);
  host.bulkWrite(layout::kModemBulkOut, bytesOf("ATD1\r"));
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "CONNECT", 1000), "");
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "CONNECT 115200\r\n", 1100), "\r\nCONNECT 115200\r\n");
}

TEST_F(ModemTest, IncomingCallRingsAndIsAnswered) {
  ASSERT_TRUE(phone.incomingCall(3));
  const auto ringOn = host.notification(layout::kModemNotify);
  ASSERT_TRUE(ringOn);
  EXPECT_EQ((*ringOn)[8], kSerialDsr | kSerialRing);
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "RING\r\n"), "\r\nRING\r\n");
  host.frames(kSecondFrames + 10);
  EXPECT_EQ(host.notification(layout::kModemNotify, 5).value_or(Bytes(10))[8], kSerialDsr);
  EXPECT_EQ(command("ATA\r", "CONNECT 115200\r\n"), "\r\nCONNECT 115200\r\n");
  EXPECT_EQ(lastSerialState(), kSerialDcd | kSerialDsr);
}

TEST_F(ModemTest, DtrDropHangsUp) {
  dial();
  ASSERT_EQ(host.controlOut(0x21, 0x22, 0x0003, layout::kModemControl), Handshake::Ack);
  ASSERT_EQ(host.controlOut(0x21, 0x22, 0x0002, layout::kModemControl), Handshake::Ack);
  EXPECT_EQ(host.readUntil(layout::kModemBulkIn, "NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(lastSerialState(), kSerialDsr);
}

}  // namespace
}  // namespace sim::phone::testing
