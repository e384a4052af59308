// The far end of a data call (or of the raw extra data function): echoes,
// sinks and sources a verifiable byte pattern for throughput runs, or hands
// the bytes to a test's callback.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace sim::phone {

// Byte `index` of the pattern the peer sends and expects.
uint8_t patternByte(uint64_t index);

struct PeerCounters {
  uint64_t bytesFromHost = 0;   // everything the peer received
  uint64_t bytesToHost = 0;     // everything the host took from the peer
  uint64_t patternErrors = 0;   // received bytes that broke the pattern (pattern mode)
  uint64_t firstPatternError = UINT64_MAX;  // offset of the first broken byte
  uint64_t sourceRemaining = 0; // pattern bytes still to send
};

class RemotePeer {
 public:
  enum class Mode { Echo, Pattern, Callback, Silent };
  // Called with every chunk the host sent; the callback answers through
  // send() and hangUp() of the peer it is given. It runs under the phone's
  // lock: it must not call back into the phone.
  using Callback = std::function<void(std::span<const uint8_t> fromHost, RemotePeer& peer)>;

  void setEcho() { mode_ = Mode::Echo; }
  void setSilent() { mode_ = Mode::Silent; }
  // Verifies what the host sends against the pattern and sends the host
  // `sourceBytes` bytes of it.
  void setPattern(uint64_t sourceBytes);
  void setCallback(Callback callback);
  Mode mode() const { return mode_; }

  void send(std::span<const uint8_t> bytes);
  void hangUp() { hangUpRequested_ = true; }

  // Phone side.
  void receive(std::span<const uint8_t> bytes);
  // Up to `max` bytes toward the host.
  size_t pull(std::vector<uint8_t>& out, size_t max);
  bool hasDataForHost() const { return !pending_.empty() || counters_.sourceRemaining > 0; }
  bool takeHangUpRequest();
  // The call ended: pattern bytes not yet sent never will be.
  void stopSource() { counters_.sourceRemaining = 0; }
  // A new call: queues and counters start afresh; the mode stays.
  void newSession();
  const PeerCounters& counters() const { return counters_; }

 private:
  Mode mode_ = Mode::Echo;
  Callback callback_;
  std::deque<uint8_t> pending_;
  PeerCounters counters_;
  uint64_t sourceTotal_ = 0;
  uint64_t sourceIndex_ = 0;
  uint64_t sinkIndex_ = 0;
  bool hangUpRequested_ = false;
};

}  // namespace sim::phone
