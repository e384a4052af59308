// Fault injection of the phone model: vendor-reply and notification faults,
// halted and NAKing endpoints, and the unplug trigger.
#include "phone/q93k_phone.h"

namespace sim::phone {

void Q93KPhone::setVendorReplyFault(uint8_t request, VendorReplyFault fault) {
  std::lock_guard lock(mu_);
  vendorFaults_[request] = fault;
}

void Q93KPhone::setNotificationFault(uint8_t notification, NotificationFault fault) {
  std::lock_guard lock(mu_);
  notificationFaults_[notification] = fault;
}

void Q93KPhone::stallClassRequest(uint8_t request, int count) {
  std::lock_guard lock(mu_);
  classFaults_[request] = count;
}

void Q93KPhone::delayClassRequest(uint8_t request, uint32_t frames) {
  std::lock_guard lock(mu_);
  classDelays_[request] = {frames, 0};
}

void Q93KPhone::stallEndpoint(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  endpointState(endpoint).halted = true;
}

void Q93KPhone::nakEndpoint(uint8_t endpoint, uint32_t frames) {
  std::lock_guard lock(mu_);
  endpointState(endpoint).nakFrames = frames;
}

void Q93KPhone::setUnplugTrigger(UnplugTrigger trigger) {
  std::lock_guard lock(mu_);
  unplug_ = trigger;
  unplugCounted_ = 0;
}

void Q93KPhone::clearFaults() {
  std::lock_guard lock(mu_);
  vendorFaults_.clear();
  notificationFaults_.clear();
  classFaults_.clear();
  classDelays_.clear();
  unplug_ = {};
  for (auto& [address, ep] : endpoints_) {
    ep.nakFrames = 0;
    ep.nakUntil = 0;
  }
}

// How many more bytes may go to the host on `endpoint` before the unplug
// trigger fires; the packet that reaches the count is cut there.
size_t Q93KPhone::bulkInAllowance(uint8_t endpoint) const {
  if (unplug_.kind != UnplugTrigger::Kind::AfterBulkInBytes) return SIZE_MAX;
  if (unplug_.endpoint != 0 && unplug_.endpoint != endpoint) return SIZE_MAX;
  return unplug_.bytes > unplugCounted_ ? size_t(unplug_.bytes - unplugCounted_) : 0;
}

void Q93KPhone::countBulk(UnplugTrigger::Kind kind, uint8_t endpoint, size_t bytes,
                          Deferred& deferred) {
  if (unplug_.kind != kind || (unplug_.endpoint != 0 && unplug_.endpoint != endpoint)) return;
  unplugCounted_ += bytes;
  if (unplugCounted_ >= unplug_.bytes) requestUnplug(deferred);
}

void Q93KPhone::requestUnplug(Deferred& deferred) {
  unplug_ = {};
  WireEvent e;
  e.kind = WireEvent::Kind::UnplugRequest;
  e.time = lastNow_;
  log(std::move(e));
  deferred.unplug = onUnplugRequest;
}

void Q93KPhone::noteActivityWhileSuspended(Deferred& deferred) {
  if (!suspended_ || !remoteWakeupEnabled_ || wakeRequested_) return;
  wakeRequested_ = true;
  deferred.wake = onRemoteWakeup;
}

}  // namespace sim::phone
