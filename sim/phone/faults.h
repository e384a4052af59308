// Faults the phone model can be told to commit: misbehaving vendor replies and
// notifications, halted or NAKing endpoints, and unplugging at a chosen moment.
#pragma once

#include <cstdint>

namespace sim::phone {

// What the phone does with the vendor requests of one request code.
struct VendorReplyFault {
  bool refuse = false;           // answer with refusalValue and do nothing
  uint16_t refusalValue = 0x0000;
  bool drop = false;             // send no notification at all (the request still acts)
  uint32_t delayFrames = 0;      // hold the notification back this many frames
  int count = -1;                // applies to the next `count` requests; -1: to all
};

// Applied to every notification with one bNotification code.
struct NotificationFault {
  bool drop = false;
  uint32_t delayFrames = 0;
  int count = -1;
};

// When the phone asks the host to detach it (onUnplugRequest).
struct UnplugTrigger {
  enum class Kind {
    None,
    AfterBulkInBytes,   // once `bytes` bytes went to the host (the packet is cut there)
    AfterBulkOutBytes,  // once `bytes` bytes came from the host
    AtVendorRequest,    // at the next vendor request (`request`, or any when -1): not executed
  };
  Kind kind = Kind::None;
  uint64_t bytes = 0;
  uint8_t endpoint = 0;  // bulk endpoint to count on; 0 counts all
  int request = -1;
};

}  // namespace sim::phone
