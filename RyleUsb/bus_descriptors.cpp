// The configuration parser of the bus driver: finds each slot's Union and vendor
// descriptors, collects the interfaces and endpoints they name, and checks every length
// against the bytes actually received before reading a field.
#include "bus_config.h"

#include <usb.h>
#include <usbdlib.h>

namespace {

const UCHAR kConfigurationType = 0x02;
const UCHAR kInterfaceType = 0x04;
const UCHAR kEndpointType = 0x05;
const UCHAR kClassInterfaceType = 0x24;
const UCHAR kUnionSubtype = 0x06;
const UCHAR kVendorFunctionType = 0x44;
const UCHAR kVendorFunctionSubtype = 0x11;
const UCHAR kAudioClass = 0x01;
const UCHAR kCdcDataClass = 0x0A;
const ULONG kInterfaceLength = 9;
const ULONG kEndpointLength = 7;

// Walks a configuration whose descriptors have all been checked to lie inside Total.
class DescriptorWalk {
 public:
  DescriptorWalk(const UCHAR* bytes, ULONG total) : bytes_(bytes), total_(total) {}

  // Every descriptor at least two bytes long and wholly inside the total, interface and
  // endpoint descriptors at least their standard length: after this every step by
  // bLength ends inside the buffer and never stands still.
  BOOLEAN Validate() const {
    ULONG at = 0;
    while (at < total_) {
      if (total_ - at < 2) return FALSE;
      ULONG length = bytes_[at];
      if (length < 2 || length > total_ - at) return FALSE;
      UCHAR type = bytes_[at + 1];
      if (type == kInterfaceType && length < kInterfaceLength) return FALSE;
      if (type == kEndpointType && length < kEndpointLength) return FALSE;
      at += length;
    }
    return TRUE;
  }

  ULONG Next(ULONG at) const { return at + bytes_[at]; }
  ULONG Length(ULONG at) const { return bytes_[at]; }
  UCHAR Type(ULONG at) const { return bytes_[at + 1]; }
  const UCHAR* At(ULONG at) const { return bytes_ + at; }
  ULONG Total() const { return total_; }

  // The next descriptor from `at` on with this type and subtype, or Total() when none.
  ULONG Find(ULONG at, UCHAR type, UCHAR subtype) const {
    for (; at < total_; at = Next(at)) {
      if (Type(at) == type && Length(at) >= 3 && bytes_[at + 2] == subtype) return at;
    }
    return total_;
  }

  // Offset of interface `number` with `alternate`, or Total() when absent.
  ULONG FindInterface(ULONG number, ULONG alternate) const {
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR*>(bytes_));
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(config, config, (LONG)number, (LONG)alternate, -1, -1, -1);
    if (!found) return total_;
    return (ULONG)(reinterpret_cast<const UCHAR*>(found) - bytes_);
  }

 private:
  const UCHAR* bytes_;
  ULONG total_;
};

class SlotCollector {
 public:
  SlotCollector(const DescriptorWalk& walk, UsbBusConfiguration* config) : walk_(walk), config_(config) {}

  // Records interface `number` (and what it leads to) in slot `slot`.
  BOOLEAN Collect(ULONG slot, ULONG number) {
    if (number >= USB_BUS_MAX_INTERFACE_NUMBER) return FALSE;
    UsbSlotConfiguration& s = config_->Slot[slot];
    for (ULONG i = 0; i < s.InterfaceCount; i++) {
      if (s.Interfaces[i].Number == number) return TRUE;
    }
    // One interface serves one slot: two slots on the same pipes would share transfers.
    if (Claimed(number)) return FALSE;

    ULONG at = walk_.FindInterface(number, 0);
    if (at == walk_.Total()) return FALSE;
    const UCHAR* d = walk_.At(at);
    if (d[5] == kCdcDataClass && d[4] == 0) {
      ULONG alternate = walk_.FindInterface(number, 1);
      if (alternate == walk_.Total()) return AddInterface(s, number, 0) != nullptr;
      at = alternate;
      d = walk_.At(at);
    }
    if (d[5] == kAudioClass) return CollectAudio(s, at);

    UsbInterfaceRecord* record = AddInterface(s, number, d[3]);
    if (!record) return FALSE;
    ULONG wanted = d[4];
    ULONG found = 0;
    for (ULONG e = walk_.Next(at); e < walk_.Total() && walk_.Type(e) != kInterfaceType; e = walk_.Next(e)) {
      if (walk_.Type(e) != kEndpointType) continue;
      if (found == wanted) break;
      const UCHAR* ep = walk_.At(e);
      UsbBusPipeKind kind;
      ULONG size = USB_BUS_DATA_TRANSFER_SIZE;
      BOOLEAN in = (ep[2] & 0x80) != 0;
      switch (ep[3]) {
        case 3:
          kind = UsbPipeInterruptIn;
          size = USB_BUS_INTERRUPT_TRANSFER_SIZE;
          break;
        case 2:
          kind = in ? UsbPipeBulkIn : UsbPipeBulkOut;
          break;
        case 1:
          kind = in ? UsbPipeIsoIn : UsbPipeIsoOut;
          break;
        default:
          return FALSE;
      }
      if (!AddEndpoint(s, record, ep, size, kind)) return FALSE;
      found++;
    }
    // An interface that claims more endpoints than follow it is malformed; selecting it
    // would ask the host for pipes that do not exist.
    return found == wanted;
  }

 private:
  BOOLEAN Claimed(ULONG number) const {
    for (ULONG slot = 0; slot < USB_BUS_SLOTS; slot++) {
      const UsbSlotConfiguration& s = config_->Slot[slot];
      for (ULONG i = 0; i < s.InterfaceCount; i++) {
        if (s.Interfaces[i].Number == number) return TRUE;
      }
    }
    return FALSE;
  }

  UsbInterfaceRecord* AddInterface(UsbSlotConfiguration& s, ULONG number, UCHAR alternate) {
    if (s.InterfaceCount >= USB_BUS_MAX_SLOT_INTERFACES) return nullptr;
    UsbInterfaceRecord* record = &s.Interfaces[s.InterfaceCount++];
    record->Number = (UCHAR)number;
    record->AlternateSetting = alternate;
    record->EndpointCount = 0;
    return record;
  }

  BOOLEAN AddEndpoint(UsbSlotConfiguration& s, UsbInterfaceRecord* record, const UCHAR* ep, ULONG size,
                      UsbBusPipeKind kind) {
    // One pipe object per kind and slot: a second endpoint of a kind would have none.
    if (record->EndpointCount >= USB_BUS_MAX_INTERFACE_ENDPOINTS || s.PipeInterface[kind] != -1) return FALSE;
    UsbEndpointRecord& e = record->Endpoints[record->EndpointCount++];
    e.Address = ep[2];
    e.Attributes = ep[3];
    e.MaxPacketSize = (USHORT)(ep[4] | (ep[5] << 8));
    e.Interval = ep[6];
    e.MaxTransferSize = size;
    s.PipeInterface[kind] = record->Number;
    s.PipeAddress[kind] = ep[2];
    return TRUE;
  }

  // An audio control interface: its class-specific header (count at byte 7, interface
  // numbers from byte 8) names the streaming interfaces, each used on alternate setting 1
  // with its first endpoint.
  BOOLEAN CollectAudio(UsbSlotConfiguration& s, ULONG at) {
    const UCHAR* d = walk_.At(at);
    if (!AddInterface(s, d[2], d[3])) return FALSE;
    ULONG header = walk_.Next(at);
    if (header >= walk_.Total() || walk_.Length(header) < 8) return FALSE;
    const UCHAR* h = walk_.At(header);
    ULONG count = h[7];
    if (walk_.Length(header) < 8 + count) return FALSE;
    for (ULONG i = 0; i < count; i++) {
      ULONG number = h[8 + i];
      if (number >= USB_BUS_MAX_INTERFACE_NUMBER || Claimed(number)) return FALSE;
      ULONG stream = walk_.FindInterface(number, 1);
      if (stream == walk_.Total()) return FALSE;
      ULONG e = walk_.Next(stream);
      while (e < walk_.Total() && walk_.Type(e) != kEndpointType && walk_.Type(e) != kInterfaceType) e = walk_.Next(e);
      if (e >= walk_.Total() || walk_.Type(e) != kEndpointType) return FALSE;
      const UCHAR* ep = walk_.At(e);
      if ((ep[3] & 0x3) != 1) return FALSE;
      UsbInterfaceRecord* record = AddInterface(s, number, 1);
      if (!record) return FALSE;
      if (!AddEndpoint(s, record, ep, USB_BUS_DATA_TRANSFER_SIZE, (ep[2] & 0x80) ? UsbPipeIsoIn : UsbPipeIsoOut)) {
        return FALSE;
      }
    }
    return TRUE;
  }

  const DescriptorWalk& walk_;
  UsbBusConfiguration* config_;
};

BOOLEAN FunctionIdAccepted(ULONG slot, UCHAR id) {
  switch (slot) {
    case 0:
      return id == 1 || id == 2;
    case 1:
      return id == 2;
    default:
      return id == 5 || id == 6;
  }
}

void Reset(UsbBusConfiguration* config) {
  RtlZeroMemory(config, sizeof(*config));
  for (ULONG slot = 0; slot < USB_BUS_SLOTS; slot++) {
    for (ULONG k = 0; k < UsbPipeKinds; k++) config->Slot[slot].PipeInterface[k] = -1;
  }
}

BOOLEAN Parse(const UCHAR* bytes, ULONG received, UsbBusConfiguration* config) {
  if (!bytes || received < kInterfaceLength || bytes[0] < kInterfaceLength || bytes[1] != kConfigurationType) {
    return FALSE;
  }
  // wTotalLength is the device's claim; only the bytes that arrived may be read.
  ULONG total = bytes[2] | (bytes[3] << 8);
  if (total > received || total < bytes[0]) return FALSE;
  DescriptorWalk walk(bytes, total);
  if (!walk.Validate()) return FALSE;
  config->ConfigurationValue = bytes[5];
  config->RemoteWakeup = (bytes[7] & 0x20) != 0;

  // The slots are searched from the first interface descriptor on.
  ULONG at;
  for (at = 0; at < total && walk.Type(at) != kInterfaceType; at = walk.Next(at)) {
  }
  if (at >= total) return FALSE;

  SlotCollector collector(walk, config);
  for (ULONG slot = 0; slot < USB_BUS_SLOTS; slot++) {
    ULONG unionAt = walk.Find(at, kClassInterfaceType, kUnionSubtype);
    ULONG vendorAt = walk.Find(at, kVendorFunctionType, kVendorFunctionSubtype);
    if (unionAt >= total || vendorAt >= total) return FALSE;
    if (walk.Length(unionAt) < 4 || walk.Length(vendorAt) < 4) return FALSE;
    const UCHAR* u = walk.At(unionAt);
    for (ULONG i = 3; i < walk.Length(unionAt); i++) {
      if (!collector.Collect(slot, u[i])) return FALSE;
    }
    config->Slot[slot].FunctionId = walk.At(vendorAt)[3];
    config->Slot[slot].SlotPresent = TRUE;
    at = walk.Next(vendorAt);
  }
  for (ULONG slot = 0; slot < USB_BUS_SLOTS; slot++) {
    if (!FunctionIdAccepted(slot, config->Slot[slot].FunctionId)) return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOLEAN UsbBusParseConfiguration(const UCHAR* Bytes, ULONG Received, UsbBusConfiguration* Configuration) {
  Reset(Configuration);
  if (Parse(Bytes, Received, Configuration)) return TRUE;
  Reset(Configuration);
  return FALSE;
}
