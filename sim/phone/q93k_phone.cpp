// Core of the phone model: construction, standard requests, endpoint tokens,
// bus reset and suspend, descriptor access and the wire log. Vendor requests
// and notifications live in function_control.cpp, class requests in
// cdc_requests.cpp, fault injection in faults.cpp.
#include "phone/q93k_phone.h"

#include <algorithm>

namespace sim::phone {

using usb::Handshake;

namespace {

AtIdentity identityOf(const PhoneDescription& d) {
  AtIdentity id;
  id.manufacturer = d.manufacturer;
  id.model = d.product;
  id.serial = d.serialNumber;
  id.signalQuality = d.signalQuality;
  return id;
}

bool isDataFunction(int slot, uint8_t code) {
  if (slot == 0) return code == function_code::kModem || code == function_code::kExtra;
  if (slot == 1) return code == function_code::kObex || code == function_code::kExtra;
  return false;
}

}  // namespace

void Q93KPhone::Deferred::run() {
  if (unplug) unplug();
  if (wake) wake();
}

Q93KPhone::Q93KPhone(PhoneDescription description)
    : description_(std::move(description)),
      descriptors_(buildDescriptors(description_)),
      configMap_(scanConfiguration(descriptors_.configuration)),
      atChannel_(identityOf(description_), description_.atChannelEcho, &atCalls_),
      modem_(identityOf(description_), description_.modemEcho, description_.connectRate),
      obex_(description_.obexMaxPacket) {}

// ---------------------------------------------------------------- control

Handshake Q93KPhone::control(const usb::SetupPacket& s, std::span<const uint8_t> out,
                             std::vector<uint8_t>& in, uint64_t now) {
  Deferred deferred;
  Handshake result = Handshake::Stall;
  {
    std::lock_guard lock(mu_);
    lastNow_ = now;
    in.clear();
    if (!suspended_) {
      advance(now);
      switch (s.bmRequestType & 0x60) {
        case 0x00: result = standardRequest(s, in); break;
        case 0x20: result = classRequest(s, out, in, now); break;
        case 0x40: result = vendorRequest(s, out, now, deferred); break;
        default: break;
      }
      if (in.size() > s.wLength) in.resize(s.wLength);
      syncLines(now);
    }
    WireEvent e;
  e.kind = WireEvent::Kind::Setup;
    e.time = now;
    e.setup = s;
    e.result = result;
    e.data.assign(out.begin(), out.end());
    log(std::move(e));
  }
  deferred.run();
  return result;
}

Handshake Q93KPhone::standardRequest(const usb::SetupPacket& s, std::vector<uint8_t>& in) {
  const uint8_t recipient = s.bmRequestType & 0x1F;
  const bool toHost = s.bmRequestType & 0x80;
  switch (s.bRequest) {
    case 0x06: {  // GET_DESCRIPTOR
      if (!toHost) return Handshake::Stall;
      const uint8_t type = uint8_t(s.wValue >> 8), index = uint8_t(s.wValue);
      if (type == 0x01 && index == 0) {
        in = descriptors_.device;
      } else if (type == 0x02 && index == 0) {
        in = descriptors_.configuration;
      } else if (type == 0x03 && index < descriptors_.strings.size()) {
        in = descriptors_.strings[index];
      } else {
        return Handshake::Stall;  // includes the device qualifier: full speed only
      }
      return Handshake::Ack;
    }
    case 0x05:  // SET_ADDRESS
      return recipient == 0 && !toHost ? Handshake::Ack : Handshake::Stall;
    case 0x09:  // SET_CONFIGURATION
      if (recipient != 0 || toHost) return Handshake::Stall;
      if (s.wValue != 0 && s.wValue != configMap_.configurationValue) return Handshake::Stall;
      configuration_ = uint8_t(s.wValue);
      // A new configuration starts every function and endpoint afresh.
      resetFunctions();
      return Handshake::Ack;
    case 0x08:  // GET_CONFIGURATION
      if (!toHost) return Handshake::Stall;
      in = {configuration_};
      return Handshake::Ack;
    case 0x0B: {  // SET_INTERFACE
      if (recipient != 1 || !configuration_) return Handshake::Stall;
      const auto& ifs = configMap_.interfaces;
      const bool exists = std::any_of(ifs.begin(), ifs.end(), [&](const InterfaceInfo& i) {
        return i.number == s.wIndex && i.alternateSetting == s.wValue;
      });
      if (!exists) return Handshake::Stall;
      altSettings_[uint8_t(s.wIndex)] = uint8_t(s.wValue);
      for (const auto& ep : configMap_.endpoints)
        if (ep.interfaceNumber == s.wIndex) endpoints_.erase(ep.address);
      return Handshake::Ack;
    }
    case 0x0A:  // GET_INTERFACE
      if (recipient != 1 || !configuration_ || !toHost) return Handshake::Stall;
      in = {altSettings_[uint8_t(s.wIndex)]};
      return Handshake::Ack;
    case 0x00:  // GET_STATUS
      if (!toHost) return Handshake::Stall;
      if (recipient == 0) {
        in = {uint8_t(remoteWakeupEnabled_ ? 0x02 : 0x00), 0};
      } else if (recipient == 1) {
        in = {0, 0};
      } else if (recipient == 2 && endpointPresent(uint8_t(s.wIndex))) {
        in = {uint8_t(endpointState(uint8_t(s.wIndex)).halted ? 1 : 0), 0};
      } else {
        return Handshake::Stall;
      }
      return Handshake::Ack;
    case 0x01:    // CLEAR_FEATURE
    case 0x03: {  // SET_FEATURE
      const bool set = s.bRequest == 0x03;
      if (recipient == 0 && s.wValue == 1) {  // DEVICE_REMOTE_WAKEUP
        if (set && !(configMap_.attributes & 0x20)) return Handshake::Stall;
        remoteWakeupEnabled_ = set;
        return Handshake::Ack;
      }
      if (recipient == 2 && s.wValue == 0 && endpointPresent(uint8_t(s.wIndex))) {
        Endpoint& ep = endpointState(uint8_t(s.wIndex));
        ep.halted = set;
        ep.zlpPending = false;
        return Handshake::Ack;
      }
      return Handshake::Stall;
    }
    default:
      return Handshake::Stall;
  }
}

// Whether the address belongs to the current alternate setting of an interface.
bool Q93KPhone::endpointPresent(uint8_t endpoint) const {
  if (!configuration_) return false;
  for (const auto& ep : configMap_.endpoints) {
    if (ep.address != endpoint) continue;
    auto alt = altSettings_.find(ep.interfaceNumber);
    if (ep.alternateSetting == (alt == altSettings_.end() ? 0 : alt->second)) return true;
  }
  return false;
}

int Q93KPhone::slotOfInterface(uint16_t wIndex) const {
  for (int i = 0; i < 3; ++i)
    if (layout::kSlots[i].controlInterface == (wIndex & 0xFF) && (wIndex >> 8) == 0) return i;
  return -1;
}

int Q93KPhone::slotOfEndpoint(uint8_t endpoint) const {
  for (int i = 0; i < 3; ++i) {
    const auto& s = layout::kSlots[i];
    if (s.notifyEndpoint == endpoint || s.bulkIn == endpoint || s.bulkOut == endpoint) return i;
  }
  return -1;
}

void Q93KPhone::resetFunctions() {
  for (int i = 0; i < 3; ++i) {
    slots_[i] = Slot{};
  }
  altSettings_.clear();
  endpoints_.clear();
  atChannel_.reset();
  atChannel_.takeOutput();
  atResponses_.clear();
  modem_.activate(false, lastNow_);
  obex_.resetSession();
  extraPeer_.newSession();
}

// ---------------------------------------------------------------- tokens

bool Q93KPhone::blockedByFault(uint8_t endpoint, uint64_t now, Handshake& result) {
  if (suspended_ || !endpointPresent(endpoint)) {
    result = suspended_ ? Handshake::Nak : Handshake::Stall;
    return true;
  }
  Endpoint& ep = endpointState(endpoint);
  if (ep.halted) {
    result = Handshake::Stall;
    return true;
  }
  if (ep.nakFrames) {
    ep.nakUntil = now + uint64_t(ep.nakFrames) * usb::kFrameTime;
    ep.nakFrames = 0;
  }
  if (now < ep.nakUntil) {
    result = Handshake::Nak;
    return true;
  }
  return false;
}

Handshake Q93KPhone::in(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& data,
                        uint64_t now) {
  Deferred deferred;
  Handshake result = Handshake::Stall;
  {
    std::lock_guard lock(mu_);
    lastNow_ = now;
    data.clear();
    const int slot = slotOfEndpoint(endpoint);
    if (!(endpoint & 0x80) || maxPacket == 0) {
      result = Handshake::Stall;
    } else if (!blockedByFault(endpoint, now, result)) {
      advance(now);
      if (slot < 0) {
        result = Handshake::Nak;  // an endpoint the phone never feeds (audio)
      } else if (endpoint == layout::kSlots[slot].notifyEndpoint) {
        result = notifyIn(slot, maxPacket, data, now);
      } else {
        result = bulkIn(slot, endpoint, maxPacket, data, now, deferred);
      }
      syncLines(now);
    }
  }
  deferred.run();
  return result;
}

Handshake Q93KPhone::notifyIn(int slot, size_t maxPacket, std::vector<uint8_t>& data,
                              uint64_t now) {
  Slot& s = slots_[slot];
  if (s.zlpPending) {
    s.zlpPending = false;
    return Handshake::Ack;
  }
  if (s.notifications.empty() || s.notifications.front().readyAt > now) return Handshake::Nak;
  Notification& n = s.notifications.front();
  if (!n.logged) {
    n.logged = true;
    WireEvent e;
  e.kind = WireEvent::Kind::Notification;
    e.time = now;
    e.endpoint = layout::kSlots[slot].notifyEndpoint;
    e.data = n.bytes;
    log(std::move(e));
  }
  const size_t count = std::min(maxPacket, n.bytes.size() - n.sent);
  data.assign(n.bytes.begin() + std::ptrdiff_t(n.sent),
              n.bytes.begin() + std::ptrdiff_t(n.sent + count));
  n.sent += count;
  if (n.sent == n.bytes.size()) {
    // A notification ending on a full packet needs an empty one to end the transfer.
    s.zlpPending = count == maxPacket;
    s.notifications.pop_front();
  }
  return Handshake::Ack;
}

Handshake Q93KPhone::bulkIn(int slot, uint8_t endpoint, size_t maxPacket,
                            std::vector<uint8_t>& data, uint64_t now, Deferred& deferred) {
  const uint8_t function = slots_[slot].function;
  if (!isDataFunction(slot, function)) return Handshake::Nak;
  Endpoint& ep = endpointState(endpoint);
  if (ep.zlpPending) {
    ep.zlpPending = false;
    return Handshake::Ack;
  }
  const size_t max = std::min(maxPacket, bulkInAllowance(endpoint));
  if (max == 0) {  // an unplug trigger armed at zero bytes
    requestUnplug(deferred);
    return Handshake::Nak;
  }
  size_t got = 0;
  bool more = false;
  if (function == function_code::kModem) {
    got = modem_.toHost(data, max, now);
    more = modem_.hasDataForHost();
  } else if (function == function_code::kObex) {
    got = obex_.toHost(data, max);
    more = obex_.hasDataForHost();
  } else {
    got = extraPeer_.pull(data, max);
    more = extraPeer_.hasDataForHost();
  }
  if (got == 0) return Handshake::Nak;
  // Nothing more queued after a full packet: end the transfer with an empty one.
  ep.zlpPending = got == maxPacket && !more;
  countBulk(UnplugTrigger::Kind::AfterBulkInBytes, endpoint, got, deferred);
  return Handshake::Ack;
}

Handshake Q93KPhone::out(uint8_t endpoint, std::span<const uint8_t> data, uint64_t now) {
  Deferred deferred;
  Handshake result = Handshake::Stall;
  {
    std::lock_guard lock(mu_);
    lastNow_ = now;
    const int slot = slotOfEndpoint(endpoint);
    if (endpoint & 0x80) {
      result = Handshake::Stall;
    } else if (!blockedByFault(endpoint, now, result)) {
      advance(now);
      const uint8_t function = slot < 0 ? 0 : slots_[slot].function;
      if (!isDataFunction(slot, function)) {
        result = Handshake::Nak;  // nobody inside the phone takes these bytes now
      } else {
        if (function == function_code::kModem) modem_.fromHost(data, now);
        else if (function == function_code::kObex) obex_.fromHost(data);
        else extraPeer_.receive(data);
        countBulk(UnplugTrigger::Kind::AfterBulkOutBytes, endpoint, data.size(), deferred);
        result = Handshake::Ack;
      }
      syncLines(now);
    }
  }
  deferred.run();
  return result;
}

void Q93KPhone::clearHalt(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  Endpoint& ep = endpointState(endpoint);
  ep.halted = false;
  ep.zlpPending = false;
  WireEvent e;
  e.kind = WireEvent::Kind::ClearHalt;
  e.time = lastNow_;
  e.endpoint = endpoint;
  log(std::move(e));
}

void Q93KPhone::busReset(uint64_t now) {
  std::lock_guard lock(mu_);
  lastNow_ = now;
  configuration_ = 0;
  remoteWakeupEnabled_ = false;
  suspended_ = false;
  wakeRequested_ = false;
  resetFunctions();
  WireEvent e;
  e.kind = WireEvent::Kind::BusReset;
  e.time = now;
  log(std::move(e));
}

void Q93KPhone::suspend(bool on, uint64_t now) {
  std::lock_guard lock(mu_);
  lastNow_ = now;
  suspended_ = on;
  wakeRequested_ = false;
  WireEvent e;
  e.kind = on ? WireEvent::Kind::Suspend : WireEvent::Kind::Resume;
  e.time = now;
  log(std::move(e));
}

// ---------------------------------------------------------------- access

std::vector<uint8_t> Q93KPhone::deviceDescriptor() const {
  std::lock_guard lock(mu_);
  return descriptors_.device;
}

std::vector<uint8_t> Q93KPhone::configurationDescriptor() const {
  std::lock_guard lock(mu_);
  return descriptors_.configuration;
}

void Q93KPhone::setDeviceDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mu_);
  descriptors_.device = std::move(bytes);
}

void Q93KPhone::setConfigurationDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mu_);
  descriptors_.configuration = std::move(bytes);
  configMap_ = scanConfiguration(descriptors_.configuration);
}

PhoneDescription Q93KPhone::description() const {
  std::lock_guard lock(mu_);
  return description_;
}

bool Q93KPhone::configured() const {
  std::lock_guard lock(mu_);
  return configuration_ != 0;
}

uint8_t Q93KPhone::activeFunction(int slot) const {
  std::lock_guard lock(mu_);
  return slots_.at(size_t(slot)).function;
}

uint16_t Q93KPhone::controlLines(int slot) const {
  std::lock_guard lock(mu_);
  return slots_.at(size_t(slot)).controlLines;
}

std::array<uint8_t, 7> Q93KPhone::lineCoding(int slot) const {
  std::lock_guard lock(mu_);
  return slots_.at(size_t(slot)).lineCoding;
}

bool Q93KPhone::breakOn(int slot) const {
  std::lock_guard lock(mu_);
  return slots_.at(size_t(slot)).breakOn;
}

uint16_t Q93KPhone::serialState(int slot) const {
  std::lock_guard lock(mu_);
  return slots_.at(size_t(slot)).serialWord;
}

Modem::State Q93KPhone::modemState() const {
  std::lock_guard lock(mu_);
  return modem_.state();
}

std::string Q93KPhone::lastDialed() const {
  std::lock_guard lock(mu_);
  return modem_.lastDialed();
}

void Q93KPhone::log(WireEvent event) {
  if (log_.size() >= kWireLogCapacity) log_.pop_front();
  log_.push_back(std::move(event));
}

std::vector<WireEvent> Q93KPhone::wireLog() const {
  std::lock_guard lock(mu_);
  return {log_.begin(), log_.end()};
}

void Q93KPhone::clearWireLog() {
  std::lock_guard lock(mu_);
  log_.clear();
}

}  // namespace sim::phone
