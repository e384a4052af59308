// What a simulated Q-93K looks like on the bus: identity, descriptor options,
// deliberate descriptor defects, and the fixed interface/endpoint layout the
// phone's functions use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sim::phone {

// Deliberate faults in the configuration descriptor, one at a time. Each
// applies to the slot named by PhoneDescription::defectSlot.
enum class DescriptorDefect {
  None,
  MissingSlot,               // the slot's Union and vendor descriptors are left out
  WrongFunctionId,           // the slot's vendor descriptor carries an id the bus refuses
  UnknownEndpointType,       // the slot's bulk OUT endpoint has bmAttributes 0 (control)
  DataAltSettingOnly,        // the slot's data interface has no endpoints on alt 0, all on alt 1
  TruncatedConfiguration,    // wTotalLength claims more bytes than the device returns
  ZeroLengthDescriptor,      // a descriptor with bLength 0 precedes the slot's Union
  UnionInterfaceOutOfRange,  // the slot's Union lists interface number 64
  TooManyEndpointsClaimed,   // the slot's data interface claims one endpoint more than it has
};

struct PhoneDescription {
  uint16_t vendorId = 0x0FA7;
  uint16_t productId = 0x5E19;
  uint16_t bcdDevice = 0x0100;
  std::string manufacturer = "RYLE";
  std::string product = "Q-93K";
  // No value: iSerialNumber is 0 and AT+CGSN answers ERROR.
  std::optional<std::string> serialNumber = std::string("356938035643809");
  bool remoteWakeup = true;  // bit 5 of the configuration's bmAttributes

  // FunctionId byte of each slot's vendor descriptor. The bus accepts 1 or 2
  // for slot 0, 2 for slot 1, and 5 or 6 for slot 2.
  std::array<uint8_t, 3> functionIds = {1, 2, 5};

  uint16_t bulkMaxPacket = 64;
  uint16_t interruptMaxPacket = 16;
  uint8_t interruptInterval = 10;  // bInterval in frames

  // Audio-class pair (control interface plus an IN and an OUT streaming
  // interface with isochronous endpoints on alternate setting 1), listed as
  // subordinates of the modem's Union.
  bool audioInterfaces = false;

  DescriptorDefect defect = DescriptorDefect::None;
  int defectSlot = 1;

  // Behaviour of the functions.
  bool atChannelEcho = false;  // echo default of the AT channel (ATZ restores it)
  bool modemEcho = true;       // echo default of the modem's command mode
  uint32_t connectRate = 115200;
  int signalQuality = 20;      // first number of +CSQ
  uint16_t obexMaxPacket = 0x1000;
};

// Interface numbers and endpoint addresses of the standard layout. The
// functions of the phone are tied to these whatever descriptor is installed.
namespace layout {
inline constexpr uint8_t kModemControl = 0, kModemData = 1;
inline constexpr uint8_t kObexControl = 2, kObexData = 3;
inline constexpr uint8_t kAtControl = 4, kAtData = 5;
inline constexpr uint8_t kAudioControl = 6, kAudioStreamIn = 7, kAudioStreamOut = 8;

inline constexpr uint8_t kModemNotify = 0x81, kModemBulkIn = 0x82, kModemBulkOut = 0x02;
inline constexpr uint8_t kObexNotify = 0x83, kObexBulkIn = 0x84, kObexBulkOut = 0x04;
inline constexpr uint8_t kAtNotify = 0x85, kAtBulkIn = 0x86, kAtBulkOut = 0x06;
inline constexpr uint8_t kAudioIsoIn = 0x87, kAudioIsoOut = 0x07;

struct Slot {
  uint8_t controlInterface, dataInterface, notifyEndpoint, bulkIn, bulkOut;
};
inline constexpr std::array<Slot, 3> kSlots = {{
    {kModemControl, kModemData, kModemNotify, kModemBulkIn, kModemBulkOut},
    {kObexControl, kObexData, kObexNotify, kObexBulkIn, kObexBulkOut},
    {kAtControl, kAtData, kAtNotify, kAtBulkIn, kAtBulkOut},
}};
}  // namespace layout

// Function codes carried by the vendor requests.
namespace function_code {
inline constexpr uint8_t kModem = 0x01, kAt = 0x02, kObex = 0x60, kExtra = 0xC0;
}

}  // namespace sim::phone
