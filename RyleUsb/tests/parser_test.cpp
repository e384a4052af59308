// The bus driver's configuration parser over the phone model's descriptor sets: good sets
// sorted into slots, each defect refused, and a bounded fuzz of mutated sets that must
// neither crash, read outside the bytes received, nor leak.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "bus_config.h"
#include "kernel_fixture.h"
#include "phone/descriptors.h"

namespace {

using sim::phone::DescriptorDefect;
using sim::phone::PhoneDescription;
namespace layout = sim::phone::layout;

class Parser : public sim::kernel::testing::BootedKernel {
 protected:
  // Parses from an exact-size heap copy, so that AddressSanitizer sees any read past the
  // bytes received.
  bool Parse(const std::vector<uint8_t>& bytes, UsbBusConfiguration* out) {
    std::unique_ptr<UCHAR[]> copy(new UCHAR[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return UsbBusParseConfiguration(copy.get(), ULONG(bytes.size()), out) != FALSE;
  }
};

struct Case {
  const char* name;
  std::array<uint8_t, 3> ids;
  DescriptorDefect defect;
  int defectSlot;
  bool audio;
  bool accepted;
};

const Case kCases[] = {
    {"standard", {1, 2, 5}, DescriptorDefect::None, 1, false, true},
    {"slot0 id 2, slot2 id 6", {2, 2, 6}, DescriptorDefect::None, 1, false, true},
    {"with audio", {1, 2, 5}, DescriptorDefect::None, 1, true, true},
    {"slot0 id 3", {3, 2, 5}, DescriptorDefect::None, 1, false, false},
    {"slot1 id 1", {1, 1, 5}, DescriptorDefect::None, 1, false, false},
    {"slot2 id 2", {1, 2, 2}, DescriptorDefect::None, 1, false, false},
    {"slot 2 missing", {1, 2, 5}, DescriptorDefect::MissingSlot, 2, false, false},
    {"slot 0 missing", {1, 2, 5}, DescriptorDefect::MissingSlot, 0, false, false},
    {"wrong function id", {1, 2, 5}, DescriptorDefect::WrongFunctionId, 1, false, false},
    {"unknown endpoint type", {1, 2, 5}, DescriptorDefect::UnknownEndpointType, 0, false, false},
    {"data on alternate 1", {1, 2, 5}, DescriptorDefect::DataAltSettingOnly, 1, false, true},
    {"truncated", {1, 2, 5}, DescriptorDefect::TruncatedConfiguration, 1, false, false},
    {"zero bLength", {1, 2, 5}, DescriptorDefect::ZeroLengthDescriptor, 1, false, false},
    {"interface 64", {1, 2, 5}, DescriptorDefect::UnionInterfaceOutOfRange, 2, false, false},
    {"endpoints claimed", {1, 2, 5}, DescriptorDefect::TooManyEndpointsClaimed, 0, false, false},
};

TEST_F(Parser, DescriptorSetsFromThePhoneModel) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PhoneDescription d;
    d.functionIds = c.ids;
    d.defect = c.defect;
    d.defectSlot = c.defectSlot;
    d.audioInterfaces = c.audio;
    UsbBusConfiguration config;
    ASSERT_EQ(Parse(sim::phone::buildDescriptors(d).configuration, &config), c.accepted);
    if (!c.accepted) {
      EXPECT_FALSE(config.Slot[0].SlotPresent);
      continue;
    }
    EXPECT_TRUE(config.RemoteWakeup);
    EXPECT_EQ(config.ConfigurationValue, 1);
    for (int s = 0; s < 3; s++) {
      SCOPED_TRACE(s);
      const UsbSlotConfiguration& slot = config.Slot[s];
      const auto& l = layout::kSlots[s];
      EXPECT_TRUE(slot.SlotPresent);
      EXPECT_EQ(slot.FunctionId, c.ids[s]);
      EXPECT_EQ(slot.PipeInterface[UsbPipeInterruptIn], l.controlInterface);
      EXPECT_EQ(slot.PipeAddress[UsbPipeInterruptIn], l.notifyEndpoint);
      EXPECT_EQ(slot.PipeInterface[UsbPipeBulkIn], l.dataInterface);
      EXPECT_EQ(slot.PipeAddress[UsbPipeBulkIn], l.bulkIn);
      EXPECT_EQ(slot.PipeInterface[UsbPipeBulkOut], l.dataInterface);
      EXPECT_EQ(slot.PipeAddress[UsbPipeBulkOut], l.bulkOut);
      ASSERT_GE(slot.InterfaceCount, 2u);
      EXPECT_EQ(slot.Interfaces[0].Number, l.controlInterface);
      EXPECT_EQ(slot.Interfaces[0].Endpoints[0].MaxTransferSize, ULONG(USB_BUS_INTERRUPT_TRANSFER_SIZE));
      EXPECT_EQ(slot.Interfaces[1].Number, l.dataInterface);
      EXPECT_EQ(slot.Interfaces[1].EndpointCount, 2u);
      EXPECT_EQ(slot.Interfaces[1].Endpoints[0].MaxTransferSize, ULONG(USB_BUS_DATA_TRANSFER_SIZE));
      bool altOnly = c.defect == DescriptorDefect::DataAltSettingOnly && c.defectSlot == s;
      EXPECT_EQ(slot.Interfaces[1].AlternateSetting, altOnly ? 1 : 0);
    }
    if (c.audio) {
      // The modem's Union names the audio control interface, whose header names the two
      // streaming interfaces, used on alternate setting 1.
      const UsbSlotConfiguration& modem = config.Slot[0];
      ASSERT_EQ(modem.InterfaceCount, 5u);
      EXPECT_EQ(modem.Interfaces[2].Number, layout::kAudioControl);
      EXPECT_EQ(modem.Interfaces[3].Number, layout::kAudioStreamIn);
      EXPECT_EQ(modem.Interfaces[3].AlternateSetting, 1);
      EXPECT_EQ(modem.PipeInterface[UsbPipeIsoIn], layout::kAudioStreamIn);
      EXPECT_EQ(modem.PipeAddress[UsbPipeIsoIn], layout::kAudioIsoIn);
      EXPECT_EQ(modem.PipeInterface[UsbPipeIsoOut], layout::kAudioStreamOut);
      EXPECT_EQ(modem.PipeAddress[UsbPipeIsoOut], layout::kAudioIsoOut);
    } else {
      EXPECT_EQ(config.Slot[0].PipeInterface[UsbPipeIsoIn], -1);
    }
  }
}

TEST_F(Parser, LengthsBeyondTheirDescriptorAreRefused) {
  const std::vector<uint8_t> good = sim::phone::buildDescriptors(PhoneDescription{}).configuration;
  UsbBusConfiguration config;
  ASSERT_TRUE(Parse(good, &config));
  // Fewer bytes received than wTotalLength claims.
  EXPECT_FALSE(Parse(std::vector<uint8_t>(good.begin(), good.end() - 1), &config));
  EXPECT_FALSE(Parse({}, &config));
  EXPECT_FALSE(Parse(std::vector<uint8_t>(good.begin(), good.begin() + 8), &config));

  // The first Union (modem) grows past the vendor descriptor behind it: every later
  // descriptor shifts and the walk must still stay inside the total.
  for (size_t at = 9; at + 2 < good.size(); at += good[at]) {
    if (good[at + 1] == 0x24 && good[at + 2] == 0x06) {
      std::vector<uint8_t> bad = good;
      bad[at] = uint8_t(good.size() - at + 1);
      EXPECT_FALSE(Parse(bad, &config));
      bad[at] = 1;
      EXPECT_FALSE(Parse(bad, &config));
      break;
    }
  }
}

// Mutated descriptor sets: random bytes flipped, lengths changed, the set cut short.
// Whatever the parser decides, it reads only the bytes it was given (AddressSanitizer
// watches the exact-size copy), and an accepted set keeps its promises.
TEST_F(Parser, FuzzedDescriptorSetsNeverReadOutsideTheBytes) {
  std::mt19937 random(93);
  PhoneDescription withAudio;
  withAudio.audioInterfaces = true;
  const std::vector<uint8_t> seeds[] = {sim::phone::buildDescriptors(PhoneDescription{}).configuration,
                                        sim::phone::buildDescriptors(withAudio).configuration};
  int accepted = 0;
  for (int i = 0; i < 4000; i++) {
    std::vector<uint8_t> bytes = seeds[i % 2];
    int mutations = 1 + int(random() % 4);
    for (int m = 0; m < mutations; m++) {
      switch (random() % 4) {
        case 0:
          bytes[random() % bytes.size()] = uint8_t(random());
          break;
        case 1: {
          // Only descriptor lengths: the hardest field to get right.
          size_t at = 0;
          size_t pick = random() % 30;
          for (size_t n = 0; n < pick && at < bytes.size() && bytes[at] >= 2; n++) at += bytes[at];
          if (at < bytes.size()) bytes[at] = uint8_t(random() % 16);
          break;
        }
        case 2:
          bytes.resize(random() % (bytes.size() + 1));
          break;
        default:
          bytes[2 + random() % 2] = uint8_t(random());
          break;
      }
      if (bytes.empty()) break;
    }
    UsbBusConfiguration config;
    if (!Parse(bytes, &config)) continue;
    accepted++;
    for (int s = 0; s < 3; s++) {
      const UsbSlotConfiguration& slot = config.Slot[s];
      ASSERT_TRUE(slot.SlotPresent);
      ASSERT_LE(slot.InterfaceCount, ULONG(USB_BUS_MAX_SLOT_INTERFACES));
      for (ULONG n = 0; n < slot.InterfaceCount; n++) {
        ASSERT_LT(slot.Interfaces[n].Number, USB_BUS_MAX_INTERFACE_NUMBER);
        ASSERT_LE(slot.Interfaces[n].EndpointCount, ULONG(USB_BUS_MAX_INTERFACE_ENDPOINTS));
      }
    }
  }
  // Most single-byte flips land in fields the parser does not judge.
  EXPECT_GT(accepted, 0);
}

}  // namespace
