// Descriptor sets of the phone read over the default pipe and walked with
// the bus driver's slot rules: the good layouts parse into three slots, each
// deliberate defect is caught for what it is.
#include <gtest/gtest.h>

#include "test_host.h"

namespace sim::phone::testing {
namespace {

struct ParsedSlot {
  uint8_t functionId = 0;
  std::vector<uint8_t> interfaces;
  std::vector<EndpointInfo> endpoints;
};
struct Parsed {
  std::string failure;  // empty: accepted
  std::array<ParsedSlot, 3> slots;
};

// The slot walk the bus driver does on the configuration it reads.
Parsed parseLikeBus(const Bytes& c) {
  Parsed r;
  if (c.size() < 9) return {"short"};
  const size_t total = size_t(c[2] | c[3] << 8);
  if (total > c.size()) return {"truncated"};
  auto find = [&](size_t from, uint8_t type, uint8_t subtype) -> size_t {
    for (size_t at = from; at + 2 < total; at += c[at]) {
      if (c[at] == 0) return SIZE_MAX;
      if (c[at + 1] == type && c[at + 2] == subtype) return at;
    }
    return SIZE_MAX;
  };
  auto findInterface = [&](uint8_t number, uint8_t alt) -> size_t {
    for (size_t at = 0; at + 4 < total && c[at]; at += c[at])
      if (c[at + 1] == 0x04 && c[at + 2] == number && c[at + 3] == alt) return at;
    return SIZE_MAX;
  };
  auto endpointsOf = [&](size_t at, ParsedSlot& slot, bool firstOnly) -> bool {
    const uint8_t declared = c[at + 4];
    size_t found = 0;
    for (at += c[at]; at < total && c[at] && c[at + 1] != 0x04 && found < declared; at += c[at]) {
      if (c[at + 1] != 0x05) continue;
      const uint8_t type = c[at + 3];
      if (!firstOnly && type != 1 && type != 2 && type != 3) return false;
      slot.endpoints.push_back({0, 0, c[at + 2], type, uint16_t(c[at + 4] | c[at + 5] << 8), c[at + 6]});
      if (++found == 1 && firstOnly) return true;
    }
    return found == declared;
  };
  size_t from = c[0];
  for (int i = 0; i < 3; ++i) {
    const size_t u = find(from, 0x24, 0x06), v = find(from, 0x44, 0x11);
    if (u == SIZE_MAX || v == SIZE_MAX) return {"missing slot"};
    ParsedSlot& slot = r.slots[size_t(i)];
    for (size_t k = 3; k < c[u]; ++k) {
      const uint8_t n = c[u + k];
      if (n >= 64) return {"interface out of range"};
      size_t at = findInterface(n, 0);
      if (at == SIZE_MAX) return {"no interface"};
      slot.interfaces.push_back(n);
      if (c[at + 5] == 0x0A && c[at + 4] == 0) at = findInterface(n, 1);
      if (at == SIZE_MAX) continue;
      if (c[at + 5] == 0x01) {
        const size_t header = at + c[at];
        for (size_t j = 0; j < c[header + 7]; ++j) {
          const size_t s = findInterface(c[header + 8 + j], 1);
          if (s == SIZE_MAX || !endpointsOf(s, slot, true)) return {"audio"};
        }
      } else if (!endpointsOf(at, slot, false)) {
        return {"bad endpoints"};
      }
    }
    slot.functionId = c[v + 3];
    from = v + c[v];
  }
  const uint8_t id0 = r.slots[0].functionId, id1 = r.slots[1].functionId,
                id2 = r.slots[2].functionId;
  if ((id0 != 1 && id0 != 2) || id1 != 2 || (id2 != 5 && id2 != 6)) return {"function id"};
  return r;
}

Bytes readConfiguration(TestHost& host) {
  Bytes head = host.controlIn(0x80, 0x06, 0x0200, 0, 9);
  EXPECT_EQ(head.size(), 9u);
  return host.controlIn(0x80, 0x06, 0x0200, 0, uint16_t(head[2] | head[3] << 8));
}

bool hasEndpoint(const ParsedSlot& s, uint8_t address, uint8_t type) {
  for (const auto& e : s.endpoints)
    if (e.address == address && e.attributes == type) return true;
  return false;
}

TEST(Descriptors, DefaultLayoutGivesThreeSlotsWithTheirPipes) {
  Q93KPhone phone;
  TestHost host{phone};
  const Bytes device = host.controlIn(0x80, 0x06, 0x0100, 0, 18);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[8] | device[9] << 8, 0x0FA7);
  EXPECT_EQ(device[10] | device[11] << 8, 0x5E19);
  EXPECT_EQ(device[2] | device[3] << 8, 0x0110);
  EXPECT_EQ(device[17], 1);

  const Parsed p = parseLikeBus(readConfiguration(host));
  ASSERT_EQ(p.failure, "");
  const struct {
    uint8_t functionId, notify, bulkIn, bulkOut;
  } want[] = {{1, 0x81, 0x82, 0x02}, {2, 0x83, 0x84, 0x04}, {5, 0x85, 0x86, 0x06}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(p.slots[i].functionId, want[i].functionId);
    EXPECT_TRUE(hasEndpoint(p.slots[i], want[i].notify, 3));
    EXPECT_TRUE(hasEndpoint(p.slots[i], want[i].bulkIn, 2));
    EXPECT_TRUE(hasEndpoint(p.slots[i], want[i].bulkOut, 2));
    EXPECT_EQ(p.slots[i].interfaces.front(), layout::kSlots[i].controlInterface);
  }
}

TEST(Descriptors, DescriptionShapesTheDescriptors) {
  PhoneDescription d;
  d.serialNumber.reset();
  d.remoteWakeup = false;
  d.functionIds = {2, 2, 6};
  d.bulkMaxPacket = 32;
  d.interruptMaxPacket = 8;
  d.interruptInterval = 32;
  Q93KPhone phone(d);
  TestHost host{phone};
  EXPECT_EQ(host.controlIn(0x80, 0x06, 0x0100, 0, 18)[16], 0) << "iSerialNumber";
  host.controlIn(0x80, 0x06, 0x0303, 0x0409, 255, Handshake::Stall);
  const Bytes config = readConfiguration(host);
  EXPECT_EQ(config[7] & 0x20, 0);
  const Parsed p = parseLikeBus(config);
  ASSERT_EQ(p.failure, "");
  EXPECT_EQ(p.slots[0].functionId, 2);
  EXPECT_EQ(p.slots[2].functionId, 6);
  for (const auto& e : p.slots[1].endpoints) {
    EXPECT_EQ(e.maxPacket, e.attributes == 3 ? 8 : 32);
    if (e.attributes == 3) {
      EXPECT_EQ(e.interval, 32);
    }
  }
}

TEST(Descriptors, StringsAreUtf16WithEnglishLanguage) {
  Q93KPhone phone;
  TestHost host{phone};
  EXPECT_EQ(host.controlIn(0x80, 0x06, 0x0300, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
  const Bytes device = host.controlIn(0x80, 0x06, 0x0100, 0, 18);
  const struct {
    uint8_t index;
    std::string text;
  } cases[] = {{device[14], "RYLE"}, {device[15], "Q-93K"}, {device[16], "356938035643809"}};
  for (const auto& c : cases) {
    const Bytes s = host.controlIn(0x80, 0x06, uint16_t(0x0300 | c.index), 0x0409, 255);
    ASSERT_EQ(s.size(), 2 + 2 * c.text.size());
    EXPECT_EQ(s[0], s.size());
    std::string text;
    for (size_t i = 2; i < s.size(); i += 2) {
      EXPECT_EQ(s[i + 1], 0);
      text += char(s[i]);
    }
    EXPECT_EQ(text, c.text);
  }
  // The host may ask for the first bytes only, as the bus does for the length.
  EXPECT_EQ(host.controlIn(0x80, 0x06, 0x0303, 0x0409, 4).size(), 4u);
}

TEST(Descriptors, DefectsAreCaughtForWhatTheyAre) {
  const struct {
    DescriptorDefect defect;
    int slot;
    std::string failure;
  } cases[] = {
      {DescriptorDefect::MissingSlot, 2, "missing slot"},
      {DescriptorDefect::MissingSlot, 0, "missing slot"},
      {DescriptorDefect::WrongFunctionId, 1, "function id"},
      {DescriptorDefect::UnknownEndpointType, 0, "bad endpoints"},
      {DescriptorDefect::TruncatedConfiguration, 0, "truncated"},
      {DescriptorDefect::ZeroLengthDescriptor, 1, "missing slot"},
      {DescriptorDefect::UnionInterfaceOutOfRange, 2, "interface out of range"},
      {DescriptorDefect::TooManyEndpointsClaimed, 1, "bad endpoints"},
      {DescriptorDefect::DataAltSettingOnly, 1, ""},  // a legal layout the bus must follow
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.defect));
    PhoneDescription d;
    d.defect = c.defect;
    d.defectSlot = c.slot;
    Q93KPhone phone(d);
    TestHost host{phone};
    EXPECT_EQ(parseLikeBus(readConfiguration(host)).failure, c.failure);
  }
}

TEST(Descriptors, TruncatedConfigurationReturnsFewerBytesThanItClaims) {
  PhoneDescription d;
  d.defect = DescriptorDefect::TruncatedConfiguration;
  Q93KPhone phone(d);
  TestHost host{phone};
  const Bytes head = host.controlIn(0x80, 0x06, 0x0200, 0, 9);
  const uint16_t claimed = uint16_t(head[2] | head[3] << 8);
  EXPECT_LT(host.controlIn(0x80, 0x06, 0x0200, 0, claimed).size(), claimed);
}

TEST(Descriptors, DataEndpointsOnAltSettingOneAnswerOnlyAfterSetInterface) {
  PhoneDescription d;
  d.defect = DescriptorDefect::DataAltSettingOnly;
  d.defectSlot = 0;
  Q93KPhone phone(d);
  TestHost host{phone};
  host.configure();
  host.activate(0, function_code::kModem);
  Bytes packet;
  EXPECT_EQ(phone.out(layout::kModemBulkOut, bytesOf("AT\r"), host.now), Handshake::Stall);
  ASSERT_EQ(host.controlOut(0x01, 0x0B, 1, layout::kModemData), Handshake::Ack);
  host.bulkWrite(layout::kModemBulkOut, bytesOf("AT\r"));
  EXPECT_NE(host.readUntil(layout::kModemBulkIn, "OK\r\n").find("OK"), std::string::npos);
  EXPECT_EQ(host.controlOut(0x01, 0x0B, 2, layout::kModemData), Handshake::Stall);
}

TEST(Descriptors, AudioPairParsesAsIsochronousPipesOfSlotZero) {
  PhoneDescription d;
  d.audioInterfaces = true;
  Q93KPhone phone(d);
  TestHost host{phone};
  const Parsed p = parseLikeBus(readConfiguration(host));
  ASSERT_EQ(p.failure, "");
  EXPECT_TRUE(hasEndpoint(p.slots[0], layout::kAudioIsoIn, 0x05));
  EXPECT_TRUE(hasEndpoint(p.slots[0], layout::kAudioIsoOut, 0x09));
  EXPECT_EQ(p.slots[1].functionId, 2) << "audio descriptors must not be taken for slot markers";
  EXPECT_EQ(host.controlIn(0x80, 0x06, 0x0100, 0, 18)[4], 0x02);
}

TEST(Descriptors, InstalledRawConfigurationIsReturnedAsIs) {
  Q93KPhone phone;
  Bytes blob = phone.configurationDescriptor();
  blob[blob.size() - 1] ^= 0xFF;
  phone.setConfigurationDescriptor(blob);
  TestHost host{phone};
  EXPECT_EQ(readConfiguration(host), blob);
  EXPECT_EQ(phone.configurationDescriptor(), blob);
}

}  // namespace
}  // namespace sim::phone::testing
