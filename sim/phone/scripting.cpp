// What tests and the demo do to the phone from the outside: play the far end
// of a call, ring the phone, and look into its OBEX store.
#include "phone/q93k_phone.h"

namespace sim::phone {

void Q93KPhone::withPeer(PeerId peer, const std::function<void(RemotePeer&)>& script) {
  Deferred deferred;
  {
    std::lock_guard lock(mu_);
    RemotePeer& p = peer == PeerId::Modem ? modem_.peer() : extraPeer_;
    script(p);
    if (peer == PeerId::Extra) p.takeHangUpRequest();  // a raw stream has no call to end
    advance(lastNow_);  // a hang-up the script asked for
    syncLines(lastNow_);
    if (p.hasDataForHost() || slots_[0].notifications.size()) noteActivityWhileSuspended(deferred);
  }
  deferred.run();
}

PeerCounters Q93KPhone::peerCounters(PeerId peer) const {
  std::lock_guard lock(mu_);
  return peer == PeerId::Modem ? modem_.peer().counters()
                               : extraPeer_.counters();
}

void Q93KPhone::setDialAnswer(DialAnswer answer, uint32_t delayFrames) {
  std::lock_guard lock(mu_);
  modem_.setDialAnswer(answer, delayFrames);
}

bool Q93KPhone::incomingCall(int rings) {
  Deferred deferred;
  bool ringing;
  {
    std::lock_guard lock(mu_);
    ringing = modem_.incomingCall(lastNow_, rings);
    syncLines(lastNow_);
    if (ringing) noteActivityWhileSuspended(deferred);
  }
  deferred.run();
  return ringing;
}

void Q93KPhone::setSignalQuality(int quality) {
  std::lock_guard lock(mu_);
  atChannel_.setSignalQuality(quality);
  modem_.setSignalQuality(quality);
}

void Q93KPhone::storeObexObject(const std::string& path, std::vector<uint8_t> data) {
  std::lock_guard lock(mu_);
  obex_.store(path, std::move(data));
}

std::optional<std::vector<uint8_t>> Q93KPhone::obexObject(const std::string& path) const {
  std::lock_guard lock(mu_);
  return obex_.object(path);
}

bool Q93KPhone::obexConnected() const {
  std::lock_guard lock(mu_);
  return obex_.connected();
}

}  // namespace sim::phone
