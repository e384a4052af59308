// A bounded record of what crossed the wire between host and phone, for
// tests to inspect: control requests with their outcome, notifications
// delivered, halts cleared, resets and unplug requests.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/device_model.h"

namespace sim::phone {

struct WireEvent {
  enum class Kind { Setup, Notification, ClearHalt, BusReset, Suspend, Resume, UnplugRequest };
  Kind kind = Kind::Setup;
  uint64_t time = 0;
  usb::SetupPacket setup{};          // Setup
  usb::Handshake result = usb::Handshake::Ack;  // Setup
  uint8_t endpoint = 0;              // Notification, ClearHalt
  std::vector<uint8_t> data;         // Setup: OUT data stage; Notification: its bytes
};

inline constexpr size_t kWireLogCapacity = 2048;

}  // namespace sim::phone
