// The phone's data modem behind slot 0's bulk pipes: AT command mode, dialling,
// data mode to a remote peer, the "+++" escape with guard times, hang-up by
// either side and incoming calls with RING.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "phone/at_interpreter.h"
#include "phone/remote_peer.h"

namespace sim::phone {

// How the far end answers ATD.
enum class DialAnswer { Connect, Busy, NoAnswer, NoCarrier, NoDialtone };

// SERIAL_STATE bits.
inline constexpr uint16_t kSerialDcd = 0x01, kSerialDsr = 0x02, kSerialBreak = 0x04,
                          kSerialRing = 0x08;

class Modem : private AtCallControl {
 public:
  enum class State { Command, Dialing, Online, OnlineCommand };

  Modem(AtIdentity identity, bool echoDefault, uint32_t connectRate);

  // The host opened (activated) or closed the function.
  void activate(bool on, uint64_t now);
  bool active() const { return active_; }

  void fromHost(std::span<const uint8_t> bytes, uint64_t now);
  // Up to `max` bytes for the host's bulk IN.
  size_t toHost(std::vector<uint8_t>& out, size_t max, uint64_t now);
  bool hasDataForHost() const;
  // Runs whatever has come due: escape guard time, dial delay, ring cadence,
  // a hang-up the peer asked for.
  void advance(uint64_t now);

  uint16_t serialState() const;
  void setDtr(bool on, uint64_t now);
  State state() const { return state_; }
  const std::string& lastDialed() const { return dialed_; }

  // Scripting the far end.
  RemotePeer& peer() { return peer_; }
  const RemotePeer& peer() const { return peer_; }
  void setDialAnswer(DialAnswer answer, uint32_t delayFrames);
  void setConnectRate(uint32_t rate) { rate_ = rate; }
  bool incomingCall(uint64_t now, int rings);
  void peerHangUp(uint64_t now);
  void setSignalQuality(int q) { at_.setSignalQuality(q); }

 private:
  Outcome callCommand(char command, std::string_view argument, uint64_t now) override;
  void feedCommands(std::span<const uint8_t> bytes, uint64_t now);
  void dataFromHost(std::span<const uint8_t> bytes, uint64_t now);
  void connect(uint64_t now);
  void hangUp(bool announce);
  void flushEscape();
  void collectOutput();

  AtInterpreter at_;
  RemotePeer peer_;
  uint32_t rate_;
  DialAnswer answer_ = DialAnswer::Connect;
  uint64_t dialDelay_ = 0;
  bool active_ = false;
  bool dtr_ = false;
  State state_ = State::Command;
  std::string dialed_;
  uint64_t connectAt_ = 0;
  std::deque<uint8_t> toHost_;  // result codes and echo, ahead of peer data

  // Escape detection.
  uint64_t lastDataTime_ = 0;
  uint64_t lastPlusTime_ = 0;
  int pluses_ = 0;

  // Incoming call.
  bool ringing_ = false, ringOn_ = false;
  int ringsLeft_ = 0, ringsSeen_ = 0;
  uint64_t nextRingEvent_ = 0;
};

}  // namespace sim::phone
