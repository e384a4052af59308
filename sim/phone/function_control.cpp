// Switching the phone's functions on and off by vendor request, and the
// notifications the phone sends on each slot's interrupt pipe: the vendor
// reply 0x31, RESPONSE_AVAILABLE and SERIAL_STATE.
#include "phone/q93k_phone.h"

namespace sim::phone {

using usb::Handshake;

namespace {

// Which function codes each slot can run.
bool slotAccepts(int slot, uint8_t code) {
  switch (slot) {
    case 0: return code == function_code::kModem || code == function_code::kExtra;
    case 1: return code == function_code::kObex || code == function_code::kExtra;
    case 2: return code == function_code::kAt;
    default: return false;
  }
}

constexpr uint16_t kConfirmed = 0x0001, kRefused = 0x0000;

}  // namespace

Handshake Q93KPhone::vendorRequest(const usb::SetupPacket& s, std::span<const uint8_t> out,
                                   uint64_t now, Deferred& deferred) {
  if (s.bmRequestType != 0x41 || !configuration_) return Handshake::Stall;
  const int slot = slotOfInterface(s.wIndex);
  if (slot < 0) return Handshake::Stall;
  if (unplug_.kind == UnplugTrigger::Kind::AtVendorRequest &&
      (unplug_.request < 0 || unplug_.request == s.bRequest)) {
    // The cable comes out as the request arrives: it never runs.
    requestUnplug(deferred);
    return Handshake::Stall;
  }
  switch (s.bRequest) {
    case kActivateRequest:
    case kDisableRequest:
      if (s.wLength != 0 || !out.empty()) return Handshake::Stall;
      break;
    case kProbeRequest:
      if (out.size() != 2 || s.wLength != 2) return Handshake::Stall;
      break;
    default:
      return Handshake::Stall;
  }

  VendorReplyFault fault;
  if (auto it = vendorFaults_.find(s.bRequest); it != vendorFaults_.end() && it->second.count) {
    fault = it->second;
    if (it->second.count > 0) --it->second.count;
  }

  uint16_t answer = kRefused;
  Slot& state = slots_[slot];
  if (fault.refuse) {
    answer = fault.refusalValue;
  } else if (s.bRequest == kActivateRequest) {
    if (s.wValue == 0) {
      setFunction(slot, 0, now);
      answer = kConfirmed;
    } else if (s.wValue <= 0xFF && slotAccepts(slot, uint8_t(s.wValue))) {
      setFunction(slot, uint8_t(s.wValue), now);
      answer = kConfirmed;
    }
  } else if (s.bRequest == kProbeRequest) {
    if (out[0] == 0x02 && slotAccepts(slot, out[1])) {
      state.probed = out[1];
      answer = kConfirmed;
    }
  } else {  // disable
    setFunction(slot, 0, now);
    state.probed = 0;
    answer = kConfirmed;
  }
  if (!fault.drop) queueNotification(slot, kNotifyVendorReply, answer, {}, now, fault.delayFrames);
  return Handshake::Ack;
}

void Q93KPhone::setFunction(int slot, uint8_t code, uint64_t now) {
  Slot& s = slots_[slot];
  // Activating again, even with the same code, starts the function afresh.
  switch (s.function) {
    case function_code::kModem: modem_.activate(false, now); break;
    case function_code::kObex: obex_.resetSession(); break;
    case function_code::kExtra: extraPeer_.newSession(); break;
    case function_code::kAt:
      atChannel_.reset();
      atChannel_.takeOutput();
      atResponses_.clear();
      break;
    default: break;
  }
  s.function = code;
  switch (code) {
    case function_code::kModem: modem_.activate(true, now); break;
    case function_code::kObex: obex_.resetSession(); break;
    case function_code::kExtra: extraPeer_.newSession(); break;
    default: break;
  }
  const auto& l = layout::kSlots[slot];
  endpointState(l.bulkIn).zlpPending = false;
}

void Q93KPhone::queueNotification(int slot, uint8_t code, uint16_t value,
                                  std::span<const uint8_t> data, uint64_t now,
                                  uint32_t extraDelayFrames) {
  uint64_t delay = extraDelayFrames;
  if (auto it = notificationFaults_.find(code);
      it != notificationFaults_.end() && it->second.count) {
    if (it->second.count > 0) --it->second.count;
    if (it->second.drop) return;
    delay += it->second.delayFrames;
  }
  const uint8_t iface = layout::kSlots[slot].controlInterface;
  Notification n;
  n.bytes = {0xA1, code, uint8_t(value), uint8_t(value >> 8), iface, 0,
             uint8_t(data.size()), uint8_t(data.size() >> 8)};
  n.bytes.insert(n.bytes.end(), data.begin(), data.end());
  n.readyAt = now + delay * usb::kFrameTime;
  slots_[slot].notifications.push_back(std::move(n));
}

// Reports line changes of the modem and the AT channel as SERIAL_STATE.
void Q93KPhone::syncLines(uint64_t now) {
  for (int slot : {0, 2}) {
    Slot& s = slots_[slot];
    uint16_t word = 0;
    if (slot == 0 && s.function == function_code::kModem) word = modem_.serialState();
    // The AT channel is wired straight to the phone: always carrier and ready.
    if (slot == 2 && s.function == function_code::kAt) word = kSerialDsr | kSerialDcd;
    if (word == s.serialWord) continue;
    s.serialWord = word;
    if (s.function == 0) continue;  // nobody listens to an inactive slot
    const uint8_t data[2] = {uint8_t(word), uint8_t(word >> 8)};
    queueNotification(slot, kNotifySerialState, 0, data, now);
  }
}

void Q93KPhone::advance(uint64_t now) {
  if (slots_[0].function == function_code::kModem) modem_.advance(now);
}

}  // namespace sim::phone
