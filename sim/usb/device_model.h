// The boundary between the simulated USB host controller and a device model.
// The host turns URBs into these calls; a model answers them the way a
// full-speed device answers tokens on the wire (ACK, NAK, STALL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::usb {

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

enum class Handshake { Ack, Nak, Stall };

// Virtual time is counted in 100 ns units; one full-speed frame is 1 ms.
inline constexpr uint64_t kFrameTime = 10000;

class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;
  // A whole control transfer. For IN requests fill `in` (the host truncates it
  // to wLength); for OUT, `out` holds the data stage. Stall = request not
  // understood or refused.
  virtual Handshake control(const SetupPacket& setup, std::span<const uint8_t> out,
                            std::vector<uint8_t>& in, uint64_t now) = 0;
  // One IN token on a bulk or interrupt endpoint (address with bit 7 set):
  // Ack with up to maxPacket bytes in `data` (a short or empty packet ends the
  // transfer), Nak when nothing is ready, Stall when halted.
  virtual Handshake in(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& data,
                       uint64_t now) = 0;
  // One OUT packet on a bulk endpoint.
  virtual Handshake out(uint8_t endpoint, std::span<const uint8_t> data, uint64_t now) = 0;
  // The host cleared a halt (CLEAR_FEATURE ENDPOINT_HALT or reset pipe): clear
  // the stall and reset the data toggle state.
  virtual void clearHalt(uint8_t endpoint) = 0;
  // Bus reset or re-attach, suspend and resume.
  virtual void busReset(uint64_t now) = 0;
  virtual void suspend(bool on, uint64_t now) = 0;
};

}  // namespace sim::usb
