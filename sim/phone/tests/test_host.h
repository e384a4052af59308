// A minimal host for the phone tests: issues control transfers and polls
// endpoints frame by frame the way the simulated host controller does.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "phone/q93k_phone.h"

namespace sim::phone::testing {

using usb::Handshake;
using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct TestHost {
  Q93KPhone& phone;
  uint64_t now = 0;
  size_t bulkMaxPacket = 64;
  size_t interruptMaxPacket = 16;

  void frames(uint64_t n) { now += n * usb::kFrameTime; }

  Handshake control(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                    uint16_t length, const Bytes& out, Bytes& in) {
    return phone.control({type, request, value, index, length}, out, in, now);
  }
  Handshake controlOut(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                       const Bytes& out = {}) {
    Bytes in;
    return control(type, request, value, index, uint16_t(out.size()), out, in);
  }
  Bytes controlIn(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                  Handshake expect = Handshake::Ack) {
    Bytes in;
    EXPECT_EQ(control(type, request, value, index, length, {}, in), expect);
    if (in.size() > length) in.resize(length);
    return in;
  }

  void configure() { ASSERT_EQ(controlOut(0x00, 0x09, 1, 0), Handshake::Ack); }

  // Polls an interrupt endpoint once per frame until a whole notification
  // (ended by a short packet) arrives, or gives up after `limit` frames.
  std::optional<Bytes> notification(uint8_t endpoint, uint64_t limit = 50) {
    Bytes transfer;
    for (uint64_t f = 0; f < limit; ++f, frames(1)) {
      Bytes packet;
      const Handshake h = phone.in(endpoint, interruptMaxPacket, packet, now);
      if (h == Handshake::Stall) return std::nullopt;
      if (h == Handshake::Nak) continue;
      transfer.insert(transfer.end(), packet.begin(), packet.end());
      if (packet.size() < interruptMaxPacket) return transfer;
    }
    return std::nullopt;
  }

  // Vendor request to a slot; returns the 0x31 answer or nothing if none came.
  std::optional<uint16_t> vendor(int slot, uint8_t request, uint16_t value, const Bytes& out = {}) {
    const auto& s = layout::kSlots[slot];
    EXPECT_EQ(controlOut(0x41, request, value, s.controlInterface, out), Handshake::Ack);
    // Other notifications (SERIAL_STATE after an activation) are passed over.
    for (auto n = notification(s.notifyEndpoint); n; n = notification(s.notifyEndpoint)) {
      if ((*n)[1] == kNotifyVendorReply) return uint16_t((*n)[2] | (*n)[3] << 8);
    }
    return std::nullopt;
  }
  void activate(int slot, uint8_t code) {
    auto answer = vendor(slot, kActivateRequest, code);
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(*answer, 0x0001);
  }

  // Reads bulk IN until `count` bytes arrived or `limit` frames passed,
  // taking up to 19 packets per frame as full speed allows.
  Bytes bulkRead(uint8_t endpoint, size_t count, uint64_t limit = 100) {
    Bytes got;
    for (uint64_t f = 0; f < limit && got.size() < count; ++f, frames(1)) {
      for (int p = 0; p < 19 && got.size() < count; ++p) {
        Bytes packet;
        if (phone.in(endpoint, bulkMaxPacket, packet, now) != Handshake::Ack) break;
        got.insert(got.end(), packet.begin(), packet.end());
      }
    }
    return got;
  }
  // Reads packets until `text` has been seen (or time runs out); returns all
  // bytes read, which may run past `text` to the end of its packet.
  std::string readUntil(uint8_t endpoint, std::string_view text, uint64_t limit = 100) {
    std::string got;
    for (uint64_t f = 0; f < limit && got.find(text) == std::string::npos; ++f, frames(1)) {
      Bytes packet;
      while (got.find(text) == std::string::npos &&
             phone.in(endpoint, bulkMaxPacket, packet, now) == Handshake::Ack && !packet.empty()) {
        got.append(packet.begin(), packet.end());
        packet.clear();
      }
    }
    return got;
  }
  void bulkWrite(uint8_t endpoint, const Bytes& data) {
    for (size_t at = 0; at < data.size(); at += bulkMaxPacket) {
      const size_t n = std::min(bulkMaxPacket, data.size() - at);
      for (int tries = 0;; ++tries) {
        const Handshake h = phone.out(endpoint, std::span(data).subspan(at, n), now);
        if (h == Handshake::Ack) break;
        ASSERT_EQ(h, Handshake::Nak);
        ASSERT_LT(tries, 1000) << "endpoint NAKed for good";
        frames(1);
      }
    }
  }
};

}  // namespace sim::phone::testing
