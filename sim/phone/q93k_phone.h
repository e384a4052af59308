// The simulated Q-93K phone as a USB device: answers standard, class and
// vendor requests, sends notifications on the slots' interrupt pipes, moves
// the modem, OBEX and extra-function data over the bulk pipes, and can be
// scripted and made to misbehave by tests.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "phone/at_interpreter.h"
#include "phone/descriptors.h"
#include "phone/faults.h"
#include "phone/modem.h"
#include "phone/obex_server.h"
#include "phone/phone_description.h"
#include "phone/remote_peer.h"
#include "phone/wire_log.h"
#include "usb/device_model.h"

namespace sim::phone {

enum class PeerId { Modem, Extra };

// Vendor request codes and notification codes on the wire.
inline constexpr uint8_t kActivateRequest = 0x60, kProbeRequest = 0x62, kDisableRequest = 0x63;
inline constexpr uint8_t kNotifyVendorReply = 0x31, kNotifyResponseAvailable = 0x01,
                         kNotifySerialState = 0x20;

class Q93KPhone : public usb::UsbDeviceModel {
 public:
  explicit Q93KPhone(PhoneDescription description = {});

  // --- UsbDeviceModel
  usb::Handshake control(const usb::SetupPacket& setup, std::span<const uint8_t> out,
                         std::vector<uint8_t>& in, uint64_t now) override;
  usb::Handshake in(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& data,
                    uint64_t now) override;
  usb::Handshake out(uint8_t endpoint, std::span<const uint8_t> data, uint64_t now) override;
  void clearHalt(uint8_t endpoint) override;
  void busReset(uint64_t now) override;
  void suspend(bool on, uint64_t now) override;

  // Installed by the host before it drives the model; called without the
  // model's lock held, so they may call back into the model.
  std::function<void()> onUnplugRequest;
  std::function<void()> onRemoteWakeup;  // suspended, wake-up enabled, and something happened

  // --- Descriptors
  std::vector<uint8_t> deviceDescriptor() const;
  std::vector<uint8_t> configurationDescriptor() const;
  // Raw blobs returned as they are; the functions keep the standard layout.
  void setDeviceDescriptor(std::vector<uint8_t> bytes);
  void setConfigurationDescriptor(std::vector<uint8_t> bytes);
  PhoneDescription description() const;

  // --- State as the phone sees it
  bool configured() const;
  uint8_t activeFunction(int slot) const;  // function code, 0 when inactive
  uint16_t controlLines(int slot) const;   // last SET_CONTROL_LINE_STATE
  std::array<uint8_t, 7> lineCoding(int slot) const;
  bool breakOn(int slot) const;
  uint16_t serialState(int slot) const;    // last word reported in SERIAL_STATE
  Modem::State modemState() const;
  std::string lastDialed() const;

  // --- Scripting the far ends
  // Runs `script` on the peer under the model's lock (set its mode, send, hang up).
  void withPeer(PeerId peer, const std::function<void(RemotePeer&)>& script);
  PeerCounters peerCounters(PeerId peer) const;
  void setDialAnswer(DialAnswer answer, uint32_t delayFrames = 0);
  bool incomingCall(int rings = 5);
  void setSignalQuality(int quality);
  void storeObexObject(const std::string& path, std::vector<uint8_t> data);
  std::optional<std::vector<uint8_t>> obexObject(const std::string& path) const;
  bool obexConnected() const;

  // --- Faults
  void setVendorReplyFault(uint8_t request, VendorReplyFault fault);
  void setNotificationFault(uint8_t notification, NotificationFault fault);
  // The next `count` class requests with this bRequest (-1: all) are answered with STALL.
  void stallClassRequest(uint8_t request, int count = -1);
  // The next class request with this bRequest is NAKed for `frames` frames, then served.
  void delayClassRequest(uint8_t request, uint32_t frames);
  void stallEndpoint(uint8_t endpoint);  // halted until the host clears it
  void nakEndpoint(uint8_t endpoint, uint32_t frames);  // counted from the next token
  void setUnplugTrigger(UnplugTrigger trigger);
  void clearFaults();

  // --- Wire log
  std::vector<WireEvent> wireLog() const;
  void clearWireLog();

 private:
  struct Notification {
    std::vector<uint8_t> bytes;
    uint64_t readyAt = 0;
    size_t sent = 0;
    bool logged = false;
  };
  struct Slot {
    uint8_t function = 0;
    uint8_t probed = 0;
    uint16_t serialWord = 0;
    uint16_t controlLines = 0;
    std::array<uint8_t, 7> lineCoding = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};  // 115200 8N1
    bool breakOn = false;
    std::deque<Notification> notifications;
    bool zlpPending = false;  // a notification filled its last packet exactly
  };
  struct Endpoint {
    bool halted = false;
    uint32_t nakFrames = 0;   // armed, not yet started
    uint64_t nakUntil = 0;
    bool zlpPending = false;
  };
  // Callbacks to run once the lock is released.
  struct Deferred {
    std::function<void()> unplug, wake;
    void run();
  };
  class AtChannelCalls : public AtCallControl {
    Outcome callCommand(char command, std::string_view, uint64_t) override {
      return command == 'H' ? Outcome::Ok : Outcome::Unsupported;
    }
  };

  // q93k_phone.cpp
  usb::Handshake standardRequest(const usb::SetupPacket& s, std::vector<uint8_t>& in);
  bool endpointPresent(uint8_t endpoint) const;
  Endpoint& endpointState(uint8_t endpoint) { return endpoints_[endpoint]; }
  bool blockedByFault(uint8_t endpoint, uint64_t now, usb::Handshake& result);
  void resetFunctions();
  void log(WireEvent event);
  int slotOfInterface(uint16_t wIndex) const;
  int slotOfEndpoint(uint8_t endpoint) const;
  usb::Handshake notifyIn(int slot, size_t maxPacket, std::vector<uint8_t>& data, uint64_t now);
  usb::Handshake bulkIn(int slot, uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& data,
                        uint64_t now, Deferred& deferred);
  // function_control.cpp
  usb::Handshake vendorRequest(const usb::SetupPacket& s, std::span<const uint8_t> out,
                               uint64_t now, Deferred& deferred);
  void setFunction(int slot, uint8_t code, uint64_t now);
  void queueNotification(int slot, uint8_t code, uint16_t value, std::span<const uint8_t> data,
                         uint64_t now, uint32_t extraDelayFrames = 0);
  void syncLines(uint64_t now);
  void advance(uint64_t now);
  // cdc_requests.cpp
  usb::Handshake classRequest(const usb::SetupPacket& s, std::span<const uint8_t> out,
                              std::vector<uint8_t>& in, uint64_t now);
  void atCommand(std::span<const uint8_t> bytes, uint64_t now);
  // faults.cpp
  void countBulk(UnplugTrigger::Kind kind, uint8_t endpoint, size_t bytes, Deferred& deferred);
  size_t bulkInAllowance(uint8_t endpoint) const;
  void requestUnplug(Deferred& deferred);
  void noteActivityWhileSuspended(Deferred& deferred);

  mutable std::mutex mu_;
  PhoneDescription description_;
  DescriptorSet descriptors_;
  ConfigurationMap configMap_;

  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> altSettings_;
  bool remoteWakeupEnabled_ = false;
  bool suspended_ = false;
  bool wakeRequested_ = false;
  uint64_t lastNow_ = 0;

  std::array<Slot, 3> slots_;
  std::map<uint8_t, Endpoint> endpoints_;

  AtChannelCalls atCalls_;
  AtInterpreter atChannel_;
  std::deque<std::vector<uint8_t>> atResponses_;
  Modem modem_;
  ObexServer obex_;
  RemotePeer extraPeer_;

  std::map<uint8_t, VendorReplyFault> vendorFaults_;
  std::map<uint8_t, NotificationFault> notificationFaults_;
  std::map<uint8_t, int> classFaults_;
  struct ClassDelay {
    uint32_t frames;
    uint64_t until;  // 0 until the request is first seen
  };
  std::map<uint8_t, ClassDelay> classDelays_;
  UnplugTrigger unplug_;
  uint64_t unplugCounted_ = 0;

  std::deque<WireEvent> log_;
};

}  // namespace sim::phone
