// Descriptor sets of the simulated phone: building the device, configuration
// and string descriptors from a PhoneDescription, and reading a configuration
// back into the interfaces and endpoints it declares.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "phone/phone_description.h"

namespace sim::phone {

inline constexpr uint8_t kConfigurationValue = 1;
inline constexpr uint8_t kManufacturerString = 1, kProductString = 2, kSerialString = 3;

struct DescriptorSet {
  std::vector<uint8_t> device;         // 18 bytes
  std::vector<uint8_t> configuration;  // whole configuration as the device returns it
  std::vector<std::vector<uint8_t>> strings;  // by string index; [0] is the language list
};

DescriptorSet buildDescriptors(const PhoneDescription& description);

// A string descriptor holding `text` as UTF-16LE; only ASCII is expected.
std::vector<uint8_t> stringDescriptor(std::string_view text);

struct EndpointInfo {
  uint8_t interfaceNumber;
  uint8_t alternateSetting;
  uint8_t address;
  uint8_t attributes;
  uint16_t maxPacket;
  uint8_t interval;
};

struct InterfaceInfo {
  uint8_t number;
  uint8_t alternateSetting;
  uint8_t interfaceClass;
  uint8_t declaredEndpoints;
};

struct ConfigurationMap {
  uint8_t configurationValue = 0;
  uint8_t attributes = 0;
  std::vector<InterfaceInfo> interfaces;
  std::vector<EndpointInfo> endpoints;
};

// Walks a configuration by bLength, tolerating the defects above: a zero
// bLength or a descriptor running past the end stops the walk.
ConfigurationMap scanConfiguration(std::span<const uint8_t> configuration);

}  // namespace sim::phone
