// Data modem of the phone. Virtual time only moves when the host talks to
// the phone, so every entry point first runs what has come due (advance).
#include "phone/modem.h"

#include <string>

namespace sim::phone {
namespace {
constexpr uint64_t kSecond = 10000000;
constexpr uint64_t kRingOnTime = 1 * kSecond;
constexpr uint64_t kRingPause = 4 * kSecond;
}  // namespace

Modem::Modem(AtIdentity identity, bool echoDefault, uint32_t connectRate)
    : at_(std::move(identity), echoDefault, this), rate_(connectRate) {}

void Modem::activate(bool on, uint64_t) {
  active_ = on;
  state_ = State::Command;
  toHost_.clear();
  pluses_ = 0;
  ringing_ = ringOn_ = false;
  at_.reset();
  at_.takeOutput();
  peer_.newSession();
}

bool Modem::hasDataForHost() const {
  return !toHost_.empty() || (state_ == State::Online && peer_.hasDataForHost());
}

uint16_t Modem::serialState() const {
  if (!active_) return 0;
  uint16_t word = kSerialDsr;
  if (state_ == State::Online || state_ == State::OnlineCommand) word |= kSerialDcd;
  if (ringOn_) word |= kSerialRing;
  return word;
}

void Modem::collectOutput() {
  const std::string out = at_.takeOutput();
  toHost_.insert(toHost_.end(), out.begin(), out.end());
}

void Modem::fromHost(std::span<const uint8_t> bytes, uint64_t now) {
  advance(now);
  if (!active_) return;
  switch (state_) {
    case State::Command:
    case State::OnlineCommand:
      feedCommands(bytes, now);
      break;
    case State::Dialing:
      // Any character from the terminal abandons the dial attempt.
      state_ = State::Command;
      at_.result(AtResult::NoCarrier);
      collectOutput();
      break;
    case State::Online:
      dataFromHost(bytes, now);
      break;
  }
}

void Modem::feedCommands(std::span<const uint8_t> bytes, uint64_t now) {
  const size_t taken = at_.feed(bytes, now);
  collectOutput();
  if (taken < bytes.size() && state_ == State::Online) dataFromHost(bytes.subspan(taken), now);
}

void Modem::dataFromHost(std::span<const uint8_t> bytes, uint64_t now) {
  const uint8_t escape = uint8_t(at_.escapeCharacter());
  const uint64_t guard = at_.guardTime();
  std::vector<uint8_t> forward;
  forward.reserve(bytes.size());
  for (uint8_t b : bytes) {
    const bool startsEscape = pluses_ == 0 && now - lastDataTime_ >= guard;
    const bool continuesEscape = pluses_ > 0 && pluses_ < 3 && now - lastPlusTime_ < guard;
    if (b == escape && guard > 0 && (startsEscape || continuesEscape)) {
      ++pluses_;
      lastPlusTime_ = now;
      continue;
    }
    // Not an escape after all: the held characters were data.
    forward.insert(forward.end(), size_t(pluses_), escape);
    pluses_ = 0;
    forward.push_back(b);
    lastDataTime_ = now;
  }
  if (!forward.empty()) peer_.receive(forward);
  if (peer_.takeHangUpRequest()) peerHangUp(now);
}

void Modem::flushEscape() {
  std::vector<uint8_t> held(size_t(pluses_), uint8_t(at_.escapeCharacter()));
  pluses_ = 0;
  lastDataTime_ = lastPlusTime_;
  peer_.receive(held);
}

size_t Modem::toHost(std::vector<uint8_t>& out, size_t max, uint64_t now) {
  advance(now);
  size_t taken = 0;
  while (taken < max && !toHost_.empty()) {
    out.push_back(toHost_.front());
    toHost_.pop_front();
    ++taken;
  }
  if (state_ == State::Online && taken < max) taken += peer_.pull(out, max - taken);
  return taken;
}

void Modem::advance(uint64_t now) {
  if (!active_) return;
  if (peer_.takeHangUpRequest()) peerHangUp(now);
  if (state_ == State::Dialing && now >= connectAt_) {
    peer_.newSession();
    connect(now);
  }
  if (state_ == State::Online && pluses_ > 0 && now - lastPlusTime_ >= at_.guardTime()) {
    if (pluses_ == 3) {
      pluses_ = 0;
      state_ = State::OnlineCommand;
      at_.result(AtResult::Ok);
      collectOutput();
    } else {
      flushEscape();
    }
  }
  for (int guard = 0; ringing_ && now >= nextRingEvent_ && guard < 64; ++guard) {
    if (ringOn_) {
      ringOn_ = false;
      nextRingEvent_ += kRingPause;
      if (ringsLeft_ == 0) ringing_ = false;  // the caller gave up
      continue;
    }
    ringOn_ = true;
    --ringsLeft_;
    ++ringsSeen_;
    nextRingEvent_ = now + kRingOnTime;
    at_.result(AtResult::Ring);
    collectOutput();
    const int autoAnswer = at_.sRegister(0);
    if (autoAnswer > 0 && ringsSeen_ >= autoAnswer) {
      ringing_ = ringOn_ = false;
      peer_.newSession();
      connect(now);
    }
  }
}

void Modem::connect(uint64_t now) {
  state_ = State::Online;
  pluses_ = 0;
  lastDataTime_ = now;
  at_.result(AtResult::Connect, std::to_string(rate_));
  collectOutput();
}

void Modem::hangUp(bool announce) {
  state_ = State::Command;
  pluses_ = 0;
  peer_.stopSource();
  if (announce) {
    at_.result(AtResult::NoCarrier);
    collectOutput();
  }
}

AtCallControl::Outcome Modem::callCommand(char command, std::string_view argument, uint64_t now) {
  const bool callUp = state_ == State::Online || state_ == State::OnlineCommand;
  switch (command) {
    case 'D': {
      if (callUp) return Outcome::Error;
      std::string number;
      bool voice = false;
      for (char c : argument) {
        if (std::string_view("0123456789*#+ABCDabcd").find(c) != std::string_view::npos)
          number += c;
        else if (c == ';')
          voice = true;
      }
      if (number.empty()) return Outcome::Error;
      dialed_ = number;
      if (voice) return Outcome::Ok;  // voice calls are not modelled past the OK
      switch (answer_) {
        case DialAnswer::Connect:
          at_.stopFeeding();
          if (dialDelay_ == 0) {
            peer_.newSession();
            connect(now);
          } else {
            state_ = State::Dialing;
            connectAt_ = now + dialDelay_;
          }
          return Outcome::Handled;
        case DialAnswer::Busy: at_.result(AtResult::Busy); return Outcome::Handled;
        case DialAnswer::NoAnswer: at_.result(AtResult::NoAnswer); return Outcome::Handled;
        case DialAnswer::NoCarrier: at_.result(AtResult::NoCarrier); return Outcome::Handled;
        case DialAnswer::NoDialtone: at_.result(AtResult::NoDialtone); return Outcome::Handled;
      }
      return Outcome::Error;
    }
    case 'H':
      if (callUp) hangUp(false);
      ringing_ = ringOn_ = false;
      return Outcome::Ok;
    case 'O':
      if (state_ != State::OnlineCommand) {
        at_.result(AtResult::NoCarrier);
        return Outcome::Handled;
      }
      at_.stopFeeding();
      state_ = State::Online;
      lastDataTime_ = now;
      at_.result(AtResult::Connect, std::to_string(rate_));
      return Outcome::Handled;
    case 'A':
      if (!ringing_) {
        at_.result(AtResult::NoCarrier);
        return Outcome::Handled;
      }
      ringing_ = ringOn_ = false;
      at_.stopFeeding();
      peer_.newSession();
      connect(now);
      return Outcome::Handled;
    default:
      return Outcome::Unsupported;
  }
}

void Modem::setDtr(bool on, uint64_t now) {
  advance(now);
  const bool dropped = dtr_ && !on;
  dtr_ = on;
  // Dropping DTR hangs up, as with &D2.
  if (dropped && (state_ == State::Online || state_ == State::OnlineCommand)) hangUp(true);
}

void Modem::setDialAnswer(DialAnswer answer, uint32_t delayFrames) {
  answer_ = answer;
  dialDelay_ = uint64_t(delayFrames) * 10000;
}

bool Modem::incomingCall(uint64_t now, int rings) {
  advance(now);
  if (!active_ || state_ != State::Command || ringing_ || rings <= 0) return false;
  ringing_ = true;
  ringOn_ = false;
  ringsLeft_ = rings;
  ringsSeen_ = 0;
  nextRingEvent_ = now;
  advance(now);
  return true;
}

void Modem::peerHangUp(uint64_t) {
  if (ringing_) {
    ringing_ = ringOn_ = false;
    return;
  }
  if (state_ == State::Command) return;
  if (state_ == State::Online) {
    // What the peer sent before hanging up still reaches the host, then NO CARRIER.
    peer_.stopSource();
    std::vector<uint8_t> rest;
    peer_.pull(rest, SIZE_MAX);
    toHost_.insert(toHost_.end(), rest.begin(), rest.end());
  }
  hangUp(true);
}

}  // namespace sim::phone
