// CDC class requests to the slots' communication interfaces: encapsulated AT
// commands and responses on the AT channel, line coding, control lines and
// break on the modem and AT channels.
#include "phone/q93k_phone.h"

#include <algorithm>

namespace sim::phone {

using usb::Handshake;

namespace {
constexpr uint8_t kSendEncapsulatedCommand = 0x00, kGetEncapsulatedResponse = 0x01,
                  kSetLineCoding = 0x20, kGetLineCoding = 0x21, kSetControlLineState = 0x22,
                  kSendBreak = 0x23;

bool validLineCoding(std::span<const uint8_t> c) {
  const uint32_t rate = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 |
                        uint32_t(c[3]) << 24;
  const uint8_t dataBits = c[6];
  return rate != 0 && c[4] <= 2 && c[5] <= 4 &&
         (dataBits == 5 || dataBits == 6 || dataBits == 7 || dataBits == 8 || dataBits == 16);
}
}  // namespace

Handshake Q93KPhone::classRequest(const usb::SetupPacket& s, std::span<const uint8_t> out,
                                  std::vector<uint8_t>& in, uint64_t now) {
  if ((s.bmRequestType & 0x1F) != 1 || !configuration_) return Handshake::Stall;
  if (auto fault = classFaults_.find(s.bRequest); fault != classFaults_.end() && fault->second != 0) {
    if (fault->second > 0) fault->second--;
    return Handshake::Stall;
  }
  if (auto delay = classDelays_.find(s.bRequest); delay != classDelays_.end()) {
    if (delay->second.until == 0) delay->second.until = now + uint64_t(delay->second.frames) * 10000;
    if (now < delay->second.until) return Handshake::Nak;
    classDelays_.erase(delay);
  }
  const int slot = slotOfInterface(s.wIndex);
  if (slot < 0) return Handshake::Stall;
  const bool toHost = s.bmRequestType & 0x80;
  const bool acm = slot == 0 || slot == 2;  // the OBEX interface has no line to control
  Slot& state = slots_[slot];
  switch (s.bRequest) {
    case kSendEncapsulatedCommand:
      if (slot != 2 || toHost || out.size() != s.wLength) return Handshake::Stall;
      atCommand(out, now);
      return Handshake::Ack;
    case kGetEncapsulatedResponse:
      if (slot != 2 || !toHost) return Handshake::Stall;
      if (!atResponses_.empty()) {
        std::vector<uint8_t>& head = atResponses_.front();
        const size_t n = std::min<size_t>(head.size(), s.wLength);
        in.assign(head.begin(), head.begin() + std::ptrdiff_t(n));
        // A response longer than the host asked for stays for the next read.
        head.erase(head.begin(), head.begin() + std::ptrdiff_t(n));
        if (head.empty()) atResponses_.pop_front();
      }
      return Handshake::Ack;
    case kSetLineCoding:
      if (!acm || toHost || out.size() != 7 || !validLineCoding(out)) return Handshake::Stall;
      std::copy(out.begin(), out.end(), state.lineCoding.begin());
      return Handshake::Ack;
    case kGetLineCoding:
      if (!acm || !toHost) return Handshake::Stall;
      in.assign(state.lineCoding.begin(), state.lineCoding.end());
      return Handshake::Ack;
    case kSetControlLineState:
      if (!acm || toHost || s.wLength != 0) return Handshake::Stall;
      state.controlLines = s.wValue & 0x03;
      if (slot == 0) modem_.setDtr(s.wValue & 0x01, now);
      return Handshake::Ack;
    case kSendBreak:
      if (!acm || toHost || s.wLength != 0) return Handshake::Stall;
      state.breakOn = s.wValue != 0;
      return Handshake::Ack;
    default:
      return Handshake::Stall;
  }
}

// One SEND_ENCAPSULATED_COMMAND: whatever the interpreter says in reply
// (echo included) becomes one response, announced by RESPONSE_AVAILABLE.
void Q93KPhone::atCommand(std::span<const uint8_t> bytes, uint64_t now) {
  atChannel_.feed(bytes, now);
  std::string reply = atChannel_.takeOutput();
  if (reply.empty()) return;
  atResponses_.emplace_back(reply.begin(), reply.end());
  queueNotification(2, kNotifyResponseAvailable, 0, {}, now);
}

}  // namespace sim::phone
