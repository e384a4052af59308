// Builds the Q-93K descriptor set: three CDC function slots, each marked by a
// Union functional descriptor and the vendor descriptor (type 0x44, subtype
// 0x11) the bus driver keys on, plus an optional audio-class pair.
#include "phone/descriptors.h"

#include <algorithm>

namespace sim::phone {
namespace {

constexpr uint8_t kCsInterface = 0x24, kCsEndpoint = 0x25;
constexpr uint8_t kVendorFunctionType = 0x44, kVendorFunctionSubtype = 0x11;

void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void append(std::vector<uint8_t>& v, std::initializer_list<uint8_t> bytes) {
  v.insert(v.end(), bytes);
}

void interfaceDescriptor(std::vector<uint8_t>& v, uint8_t number, uint8_t alt, uint8_t endpoints,
                         uint8_t cls, uint8_t subclass, uint8_t protocol) {
  append(v, {9, 0x04, number, alt, endpoints, cls, subclass, protocol, 0});
}

void endpointDescriptor(std::vector<uint8_t>& v, uint8_t address, uint8_t attributes,
                        uint16_t maxPacket, uint8_t interval) {
  append(v, {7, 0x05, address, attributes});
  put16(v, maxPacket);
  v.push_back(interval);
}

// A function id the bus refuses for each slot.
constexpr uint8_t kRefusedFunctionId[3] = {3, 1, 1};

class Builder {
 public:
  explicit Builder(const PhoneDescription& d) : d_(d) {}

  std::vector<uint8_t> configuration() {
    std::vector<uint8_t> v;
    const uint8_t interfaces = d_.audioInterfaces ? 9 : 6;
    append(v, {9, 0x02, 0, 0, interfaces, kConfigurationValue, 0,
               uint8_t(0x80 | (d_.remoteWakeup ? 0x20 : 0)), 250});
    modemSlot(v);
    obexSlot(v);
    atSlot(v);
    if (d_.audioInterfaces) audio(v);
    uint16_t total = uint16_t(v.size());
    if (d_.defect == DescriptorDefect::TruncatedConfiguration) total += 32;
    v[2] = uint8_t(total);
    v[3] = uint8_t(total >> 8);
    return v;
  }

 private:
  bool defectHere(DescriptorDefect defect, int slot) const {
    return d_.defect == defect && d_.defectSlot == slot;
  }

  // Union and vendor descriptor: the pair that marks a slot.
  void slotMarkers(std::vector<uint8_t>& v, int slot, std::vector<uint8_t> subordinates) {
    if (defectHere(DescriptorDefect::MissingSlot, slot)) return;
    if (defectHere(DescriptorDefect::ZeroLengthDescriptor, slot)) append(v, {0, kCsInterface});
    if (defectHere(DescriptorDefect::UnionInterfaceOutOfRange, slot)) subordinates.front() = 64;
    const auto& s = layout::kSlots[slot];
    append(v, {uint8_t(4 + subordinates.size()), kCsInterface, 0x06, s.controlInterface});
    v.insert(v.end(), subordinates.begin(), subordinates.end());
    uint8_t id = d_.functionIds[slot];
    if (defectHere(DescriptorDefect::WrongFunctionId, slot)) id = kRefusedFunctionId[slot];
    append(v, {4, kVendorFunctionType, kVendorFunctionSubtype, id});
  }

  void notifyEndpoint(std::vector<uint8_t>& v, int slot) {
    endpointDescriptor(v, layout::kSlots[slot].notifyEndpoint, 0x03, d_.interruptMaxPacket,
                       d_.interruptInterval);
  }

  void dataInterface(std::vector<uint8_t>& v, int slot) {
    const auto& s = layout::kSlots[slot];
    const bool altOnly = defectHere(DescriptorDefect::DataAltSettingOnly, slot);
    const uint8_t claimed = defectHere(DescriptorDefect::TooManyEndpointsClaimed, slot) ? 3 : 2;
    const uint8_t outType = defectHere(DescriptorDefect::UnknownEndpointType, slot) ? 0x00 : 0x02;
    if (altOnly) interfaceDescriptor(v, s.dataInterface, 0, 0, 0x0A, 0, 0);
    interfaceDescriptor(v, s.dataInterface, altOnly ? 1 : 0, claimed, 0x0A, 0, 0);
    endpointDescriptor(v, s.bulkIn, 0x02, d_.bulkMaxPacket, 0);
    endpointDescriptor(v, s.bulkOut, outType, d_.bulkMaxPacket, 0);
  }

  void modemSlot(std::vector<uint8_t>& v) {
    interfaceDescriptor(v, layout::kModemControl, 0, 1, 0x02, 0x02, 0x01);
    append(v, {5, kCsInterface, 0x00, 0x10, 0x01});                      // header, CDC 1.10
    append(v, {5, kCsInterface, 0x01, 0x03, layout::kModemData});          // call management
    append(v, {4, kCsInterface, 0x02, 0x06});  // ACM: line coding, control lines, break
    std::vector<uint8_t> subordinates = {layout::kModemData};
    if (d_.audioInterfaces) subordinates.push_back(layout::kAudioControl);
    slotMarkers(v, 0, subordinates);
    notifyEndpoint(v, 0);
    dataInterface(v, 0);
  }

  void obexSlot(std::vector<uint8_t>& v) {
    interfaceDescriptor(v, layout::kObexControl, 0, 1, 0x02, 0x0B, 0x00);
    append(v, {5, kCsInterface, 0x00, 0x10, 0x01});
    append(v, {5, kCsInterface, 0x15, 0x00, 0x01});  // OBEX functional descriptor
    slotMarkers(v, 1, {layout::kObexData});
    notifyEndpoint(v, 1);
    dataInterface(v, 1);
  }

  void atSlot(std::vector<uint8_t>& v) {
    interfaceDescriptor(v, layout::kAtControl, 0, 1, 0x02, 0x02, 0x01);
    append(v, {5, kCsInterface, 0x00, 0x10, 0x01});
    append(v, {4, kCsInterface, 0x02, 0x06});
    slotMarkers(v, 2, {layout::kAtData});
    notifyEndpoint(v, 2);
    dataInterface(v, 2);
  }

  // Audio control interface whose class-specific header (byte 7 count, then
  // interface numbers) names the two streaming interfaces. Only terminals,
  // no feature unit: its subtype 0x06 would read as a Union to the bus.
  void audio(std::vector<uint8_t>& v) {
    interfaceDescriptor(v, layout::kAudioControl, 0, 0, 0x01, 0x01, 0x00);
    const uint16_t acTotal = 10 + 12 + 9 + 12 + 9;
    append(v, {10, kCsInterface, 0x01, 0x00, 0x01, uint8_t(acTotal), uint8_t(acTotal >> 8), 2,
               layout::kAudioStreamIn, layout::kAudioStreamOut});
    append(v, {12, kCsInterface, 0x02, 1, 0x01, 0x02, 0, 1, 0, 0, 0, 0});  // microphone
    append(v, {9, kCsInterface, 0x03, 2, 0x01, 0x01, 0, 1, 0});           // to USB stream
    append(v, {12, kCsInterface, 0x02, 3, 0x01, 0x01, 0, 1, 0, 0, 0, 0});  // from USB stream
    append(v, {9, kCsInterface, 0x03, 4, 0x01, 0x03, 0, 3, 0});           // speaker
    streaming(v, layout::kAudioStreamIn, 2, layout::kAudioIsoIn, 0x05);
    streaming(v, layout::kAudioStreamOut, 3, layout::kAudioIsoOut, 0x09);
  }

  void streaming(std::vector<uint8_t>& v, uint8_t number, uint8_t terminal, uint8_t endpoint,
                 uint8_t attributes) {
    interfaceDescriptor(v, number, 0, 0, 0x01, 0x02, 0x00);
    interfaceDescriptor(v, number, 1, 1, 0x01, 0x02, 0x00);
    append(v, {7, kCsInterface, 0x01, terminal, 1, 0x01, 0x00});            // PCM
    append(v, {11, kCsInterface, 0x02, 0x01, 1, 2, 16, 1, 0x40, 0x1F, 0x00});  // 8 kHz mono
    append(v, {9, 0x05, endpoint, attributes, 16, 0, 1, 0, 0});
    append(v, {7, kCsEndpoint, 0x01, 0x00, 0x00, 0x00, 0x00});
  }

  const PhoneDescription& d_;
};

}  // namespace

std::vector<uint8_t> stringDescriptor(std::string_view text) {
  std::vector<uint8_t> v = {uint8_t(2 + 2 * text.size()), 0x03};
  for (char c : text) {
    v.push_back(uint8_t(c));
    v.push_back(0);
  }
  return v;
}

DescriptorSet buildDescriptors(const PhoneDescription& d) {
  DescriptorSet set;
  set.device = {18, 0x01, 0x10, 0x01, 0x02, 0x00, 0x00, 64};
  put16(set.device, d.vendorId);
  put16(set.device, d.productId);
  put16(set.device, d.bcdDevice);
  set.device.push_back(kManufacturerString);
  set.device.push_back(kProductString);
  set.device.push_back(d.serialNumber ? kSerialString : 0);
  set.device.push_back(1);  // one configuration
  set.configuration = Builder(d).configuration();
  set.strings.push_back({4, 0x03, 0x09, 0x04});
  set.strings.push_back(stringDescriptor(d.manufacturer));
  set.strings.push_back(stringDescriptor(d.product));
  if (d.serialNumber) set.strings.push_back(stringDescriptor(*d.serialNumber));
  return set;
}

ConfigurationMap scanConfiguration(std::span<const uint8_t> c) {
  ConfigurationMap map;
  if (c.size() < 9 || c[1] != 0x02) return map;
  map.configurationValue = c[5];
  map.attributes = c[7];
  const size_t end = std::min<size_t>(c.size(), size_t(c[2] | (c[3] << 8)));
  const InterfaceInfo* current = nullptr;
  for (size_t at = c[0]; at + 2 <= end;) {
    const uint8_t length = c[at];
    if (length < 2 || at + length > end) break;
    const uint8_t type = c[at + 1];
    if (type == 0x04 && length >= 9) {
      map.interfaces.push_back({c[at + 2], c[at + 3], c[at + 5], c[at + 4]});
      current = &map.interfaces.back();
    } else if (type == 0x05 && length >= 7 && current) {
      map.endpoints.push_back({current->number, current->alternateSetting, c[at + 2], c[at + 3],
                               uint16_t(c[at + 4] | (c[at + 5] << 8)), c[at + 6]});
    }
    at += length;
  }
  return map;
}

}  // namespace sim::phone
