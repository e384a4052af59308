// The AT channel as the bus driver uses it: encapsulated commands in, one
// RESPONSE_AVAILABLE per answer on the AT slot's interrupt pipe, then
// GET_ENCAPSULATED_RESPONSE; plus the ACM line requests.
#include <gtest/gtest.h>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

class AtChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    host.configure();
    host.activate(2, function_code::kAt);
    host.notification(layout::kAtNotify);  // SERIAL_STATE of the activation
  }
  Handshake send(std::string_view text) {
    return host.controlOut(0x21, 0x00, 0, layout::kAtControl, bytesOf(text));
  }
  // Every RESPONSE_AVAILABLE followed by its read, concatenated.
  std::string answers() {
    std::string all;
    while (auto n = host.notification(layout::kAtNotify, 5)) {
      EXPECT_EQ(*n, (Bytes{0xA1, 0x01, 0, 0, layout::kAtControl, 0, 0, 0}));
      all += textOf(host.controlIn(0xA1, 0x01, 0, layout::kAtControl, 2048));
    }
    return all;
  }
  Q93KPhone phone;
  TestHost host{phone};
};

TEST_F(AtChannel, AtGivesOkAfterResponseAvailable) {
  ASSERT_EQ(send("AT\r"), Handshake::Ack);
  EXPECT_EQ(answers(), "\r\nOK\r\n");
  // Nothing left: an empty response, not a stall.
  EXPECT_TRUE(host.controlIn(0xA1, 0x01, 0, layout::kAtControl, 2048).empty());
}

TEST_F(AtChannel, CommandsAndTheirAnswers) {
  const struct {
    std::vector<std::string> chunks;
    std::string answer;
  } cases[] = {
      {{"ATI\r"}, "\r\nQ-93K\r\n\r\nOK\r\n"},
      {{"AT+CGMI\r"}, "\r\nRYLE\r\n\r\nOK\r\n"},
      {{"at+cgmm\r"}, "\r\nQ-93K\r\n\r\nOK\r\n"},
      {{"AT+CGSN\r"}, "\r\n356938035643809\r\n\r\nOK\r\n"},
      {{"AT+CSQ\r"}, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
      {{"AT+FOO\r"}, "\r\nERROR\r\n"},
      {{"ATQ\x7F\r"}, "\r\nERROR\r\n"},
      {{"ATD123\r"}, "\r\nERROR\r\n"},  // the AT channel cannot dial
      {{"A", "T+CG", "MI", "\r"}, "\r\nRYLE\r\n\r\nOK\r\n"},
      {{"AT\rATI\r"}, "\r\nOK\r\n\r\nQ-93K\r\n\r\nOK\r\n"},
      {{"AT+CGMI;+CGMM\r"}, "\r\nRYLE\r\n\r\nQ-93K\r\n\r\nOK\r\n"},
      {{"ATE1\r", "AT\r"}, "\r\nOK\r\nAT\r\r\nOK\r\n"},
      {{"ATE1\r", "ATZ\r", "AT\r"}, "\r\nOK\r\nATZ\r\r\nOK\r\n\r\nOK\r\n"},
      {{"ATV0\r", "AT\r", "AT+X\r"}, "0\r0\r4\r"},
      {{"\nhello\r"}, ""},  // no "AT" on the line: no answer
      {{"ATS12?\r"}, "\r\n050\r\n\r\nOK\r\n"},
  };
  for (const auto& c : cases) {
    Q93KPhone p;
    TestHost h{p};
    h.configure();
    std::string all;
    for (const auto& chunk : c.chunks) {
      ASSERT_EQ(h.controlOut(0x21, 0x00, 0, layout::kAtControl, bytesOf(chunk)), Handshake::Ack);
      while (auto n = h.notification(layout::kAtNotify, 5))
        if ((*n)[1] == kNotifyResponseAvailable)
          all += textOf(h.controlIn(0xA1, 0x01, 0, layout::kAtControl, 2048));
    }
    EXPECT_EQ(all, c.answer) << c.chunks.front();
  }
}

TEST_F(AtChannel, LongResponseIsReadInPieces) {
  ASSERT_EQ(send("ATI+FOO\r"), Handshake::Ack);  // information, then the error that ends the line
  ASSERT_EQ(send("AT+CGSN\r"), Handshake::Ack);
  ASSERT_TRUE(host.notification(layout::kAtNotify));
  std::string first = textOf(host.controlIn(0xA1, 0x01, 0, layout::kAtControl, 8));
  EXPECT_EQ(first.size(), 8u);
  first += textOf(host.controlIn(0xA1, 0x01, 0, layout::kAtControl, 2048));
  EXPECT_EQ(first, "\r\nQ-93K\r\n\r\nERROR\r\n");
}

TEST_F(AtChannel, NoSerialNumberMeansCgsnError) {
  PhoneDescription d;
  d.serialNumber.reset();
  Q93KPhone p(d);
  TestHost h{p};
  h.configure();
  ASSERT_EQ(h.controlOut(0x21, 0x00, 0, layout::kAtControl, bytesOf("AT+CGSN\r")), Handshake::Ack);
  ASSERT_TRUE(h.notification(layout::kAtNotify));
  EXPECT_EQ(textOf(h.controlIn(0xA1, 0x01, 0, layout::kAtControl, 2048)), "\r\nERROR\r\n");
}

TEST_F(AtChannel, LineRequestsPerSlot) {
  const Bytes coding = {0x00, 0x96, 0x00, 0x00, 0, 0, 8};  // 38400 8N1
  const struct {
    int slot;
    Handshake expect;
  } cases[] = {{0, Handshake::Ack}, {2, Handshake::Ack}, {1, Handshake::Stall}};
  for (const auto& c : cases) {
    const uint8_t iface = layout::kSlots[c.slot].controlInterface;
    EXPECT_EQ(host.controlOut(0x21, 0x20, 0, iface, coding), c.expect);
    EXPECT_EQ(host.controlOut(0x21, 0x22, 0x0003, iface), c.expect);
    EXPECT_EQ(host.controlOut(0x21, 0x23, 0xFFFF, iface), c.expect);
    if (c.expect != Handshake::Ack) continue;
    EXPECT_EQ(host.controlIn(0xA1, 0x21, 0, iface, 7), coding);
    EXPECT_EQ(phone.controlLines(c.slot), 0x0003);
    EXPECT_TRUE(phone.breakOn(c.slot));
  }
  // Bad line codings and requests the phone does not know are stalled.
  EXPECT_EQ(host.controlOut(0x21, 0x20, 0, layout::kAtControl, {0, 0, 0, 0, 0, 0, 8}), Handshake::Stall);
  EXPECT_EQ(host.controlOut(0x21, 0x20, 0, layout::kAtControl, {0x80, 0x25, 0, 0, 0, 0, 9}), Handshake::Stall);
  EXPECT_EQ(host.controlOut(0x21, 0x20, 0, layout::kAtControl, {0x80, 0x25, 0, 0, 0, 0}), Handshake::Stall);
  EXPECT_EQ(host.controlOut(0x21, 0x02, 0, layout::kAtControl), Handshake::Stall);
  EXPECT_EQ(host.controlOut(0x21, 0x00, 0, layout::kModemControl, bytesOf("AT\r")), Handshake::Stall);
}

TEST_F(AtChannel, ActivationRaisesDsrAndDcdOnTheAtPipe) {
  Q93KPhone p;
  TestHost h{p};
  h.configure();
  ASSERT_EQ(h.controlOut(0x41, kActivateRequest, 2, layout::kAtControl), Handshake::Ack);
  ASSERT_TRUE(h.notification(layout::kAtNotify));
  EXPECT_EQ(h.notification(layout::kAtNotify),
            (Bytes{0xA1, 0x20, 0, 0, layout::kAtControl, 0, 2, 0, kSerialDsr | kSerialDcd, 0}));
}

}  // namespace
}  // namespace sim::phone::testing
