// Remote peer of a data call: the scripted counterpart the phone connects the
// host's data stream to.
#include "phone/remote_peer.h"

namespace sim::phone {

uint8_t patternByte(uint64_t index) {
  // Not periodic at 256 or at the packet size, so a lost or doubled packet shows.
  return uint8_t((index * 131 + (index >> 8) * 7 + (index >> 16)) & 0xFF);
}

void RemotePeer::setPattern(uint64_t sourceBytes) {
  mode_ = Mode::Pattern;
  sourceTotal_ = sourceBytes;
  sourceIndex_ = 0;
  sinkIndex_ = 0;
  counters_.sourceRemaining = sourceBytes;
}

void RemotePeer::setCallback(Callback callback) {
  mode_ = Mode::Callback;
  callback_ = std::move(callback);
}

void RemotePeer::send(std::span<const uint8_t> bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void RemotePeer::receive(std::span<const uint8_t> bytes) {
  counters_.bytesFromHost += bytes.size();
  switch (mode_) {
    case Mode::Echo:
      send(bytes);
      break;
    case Mode::Pattern:
      for (uint8_t b : bytes) {
        if (b != patternByte(sinkIndex_)) {
          if (counters_.patternErrors++ == 0) counters_.firstPatternError = sinkIndex_;
        }
        ++sinkIndex_;
      }
      break;
    case Mode::Callback:
      if (callback_) callback_(bytes, *this);
      break;
    case Mode::Silent:
      break;
  }
}

size_t RemotePeer::pull(std::vector<uint8_t>& out, size_t max) {
  size_t taken = 0;
  while (taken < max && !pending_.empty()) {
    out.push_back(pending_.front());
    pending_.pop_front();
    ++taken;
  }
  while (taken < max && counters_.sourceRemaining > 0) {
    out.push_back(patternByte(sourceIndex_++));
    --counters_.sourceRemaining;
    ++taken;
  }
  counters_.bytesToHost += taken;
  return taken;
}

bool RemotePeer::takeHangUpRequest() {
  const bool requested = hangUpRequested_;
  hangUpRequested_ = false;
  return requested;
}

void RemotePeer::newSession() {
  pending_.clear();
  hangUpRequested_ = false;
  counters_ = PeerCounters{};
  sourceIndex_ = 0;
  sinkIndex_ = 0;
  counters_.sourceRemaining = mode_ == Mode::Pattern ? sourceTotal_ : 0;
}

}  // namespace sim::phone
