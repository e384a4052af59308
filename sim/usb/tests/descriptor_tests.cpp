// Reading the phone's configuration with raw URBs and walking it with the
// usbd parse helpers the way the bus driver does: the good descriptor sets
// give three slots, each defective one shows its defect.
#include <usbdlib.h>

#include "usb/tests/usb_fixture.h"

namespace sim::usb::testing {
namespace {

using phone::DescriptorDefect;

struct SlotWalk {
  int slots = 0;                  // Union + vendor pairs found
  std::vector<uint8_t> functionIds;
  bool interfaceOutOfRange = false;
  bool unknownEndpointType = false;
};

// The bus driver's walk: Union (0x24/0x06) then vendor (0x44/0x11) descriptor
// per slot, bounded by wTotalLength and stopped by a zero bLength.
PUCHAR Find(PUSB_CONFIGURATION_DESCRIPTOR c, PUCHAR from, UCHAR type, UCHAR subtype) {
  const PUCHAR end = reinterpret_cast<PUCHAR>(c) + c->wTotalLength;
  for (PUCHAR p = from; p + 3 <= end; p += p[0]) {
    if (p[0] == 0) return nullptr;
    if (p[1] == type && p[2] == subtype) return p;
  }
  return nullptr;
}

SlotWalk Walk(Bytes& config) {
  SlotWalk w;
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  PUCHAR at = reinterpret_cast<PUCHAR>(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1));
  for (int slot = 0; slot < 3 && at; ++slot) {
    PUCHAR u = Find(c, at, 0x24, 0x06);
    PUCHAR v = u ? Find(c, u, 0x44, 0x11) : nullptr;
    if (!u || !v) break;
    for (int i = 3; i < u[0]; ++i) {
      if (u[i] >= 64) {
        w.interfaceOutOfRange = true;
        continue;
      }
      auto* intf = USBD_ParseConfigurationDescriptorEx(c, c, u[i], 0, -1, -1, -1);
      if (intf && intf->bInterfaceClass == 0x0A && intf->bNumEndpoints == 0)
        intf = USBD_ParseConfigurationDescriptorEx(c, c, u[i], 1, -1, -1, -1);
      if (!intf) continue;
      PVOID ep = intf;
      for (int e = 0; e < intf->bNumEndpoints; ++e) {
        auto* d = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(c, c->wTotalLength, reinterpret_cast<PUCHAR>(ep) + static_cast<PUSB_COMMON_DESCRIPTOR>(ep)->bLength,
                                  USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (!d) break;
        if ((d->bmAttributes & 3) == 0) w.unknownEndpointType = true;
        ep = d;
      }
    }
    w.functionIds.push_back(v[3]);
    ++w.slots;
    at = v + v[0];
  }
  return w;
}

class DescriptorSets : public PluggedPhone {};

TEST_F(DescriptorSets, GoodSetsCarryThreeSlotsAndSelect) {
  struct Case {
    const char* name;
    std::array<uint8_t, 3> ids;
    bool audio;
    uint16_t bulkMax;
  } cases[] = {{"modem, obex, at", {1, 2, 5}, false, 64},
               {"at in slot 0, extra in slot 2", {2, 2, 6}, false, 64},
               {"audio pair under the modem", {1, 2, 5}, true, 32}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    phone::PhoneDescription d;
    d.functionIds = k.ids;
    d.audioInterfaces = k.audio;
    d.bulkMaxPacket = k.bulkMax;
    Configure(d);
    Bytes config;
    ASSERT_EQ(client->ReadConfiguration(config), STATUS_SUCCESS);
    SlotWalk w = Walk(config);
    EXPECT_EQ(w.slots, 3);
    EXPECT_EQ(w.functionIds, std::vector<uint8_t>(k.ids.begin(), k.ids.end()));
    EXPECT_FALSE(w.unknownEndpointType);
    // Select filled the pipes as Windows does.
    const auto* in = client->PipeInfo(phone::layout::kModemBulkIn);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(in->MaximumPacketSize, k.bulkMax);
    EXPECT_EQ(in->MaximumTransferSize, 4096u);
    const auto* notify = client->PipeInfo(phone::layout::kAtNotify);
    ASSERT_NE(notify, nullptr);
    EXPECT_EQ(notify->PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(notify->Interval, 10);
    EXPECT_NE(client->ConfigurationHandle(), nullptr);
    Port().Unplug();
  }
}

TEST_F(DescriptorSets, DefectiveSetsShowTheirDefect) {
  for (DescriptorDefect defect :
       {DescriptorDefect::MissingSlot, DescriptorDefect::WrongFunctionId, DescriptorDefect::UnknownEndpointType,
        DescriptorDefect::TruncatedConfiguration, DescriptorDefect::ZeroLengthDescriptor,
        DescriptorDefect::UnionInterfaceOutOfRange, DescriptorDefect::TooManyEndpointsClaimed}) {
    SCOPED_TRACE(int(defect));
    phone::PhoneDescription d;
    d.defect = defect;
    d.defectSlot = 1;
    Plug(d);
    Bytes config;
    const NTSTATUS read = client->ReadConfiguration(config);
    ASSERT_EQ(read, STATUS_SUCCESS);
    const USHORT total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data())->wTotalLength;
    if (defect == DescriptorDefect::TruncatedConfiguration) {
      EXPECT_LT(config.size(), total);  // the device returned less than it claims
      Port().Unplug();
      continue;
    }
    ASSERT_EQ(config.size(), total);
    SlotWalk w = Walk(config);
    switch (defect) {
      case DescriptorDefect::MissingSlot:
      case DescriptorDefect::ZeroLengthDescriptor:
        EXPECT_LT(w.slots, 3);
        break;
      case DescriptorDefect::WrongFunctionId:
        ASSERT_EQ(w.slots, 3);
        EXPECT_NE(w.functionIds[1], 2);
        break;
      case DescriptorDefect::UnknownEndpointType:
        EXPECT_TRUE(w.unknownEndpointType);
        break;
      case DescriptorDefect::UnionInterfaceOutOfRange:
        EXPECT_TRUE(w.interfaceOutOfRange);
        break;
      case DescriptorDefect::TooManyEndpointsClaimed:
        // The hub refuses a configuration whose interface claims endpoints it lacks.
        EXPECT_EQ(client->SelectConfiguration(config), STATUS_INVALID_PARAMETER);
        break;
      default:
        break;
    }
    Port().Unplug();
  }
}

// The usbd helpers on hand-made descriptors: bounds and the request layout.
TEST(UsbdLibrary, ParseStopsAtBrokenDescriptorsAndBuildsTheRequest) {
  sim::kernel::Boot();
  // configuration, interface 0 (2 endpoints), 2 endpoints, interface 1 (0 endpoints), then a zero-length descriptor
  Bytes c = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,  9, 4, 0, 0, 2, 2, 2, 1, 0,  7, 5, 0x81, 3, 16, 0, 10,
             7, 5, 0x02, 2, 64, 0, 0,  9, 4, 1, 0, 0, 0x0A, 0, 0, 0,  0, 0x24};
  c[2] = uint8_t(c.size());
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
  auto* i0 = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  auto* i1 = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, 0x0A, -1, -1);
  ASSERT_NE(i0, nullptr);
  ASSERT_NE(i1, nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_GetInterfaceLength(i0, c.data() + c.size()), 9u + 7 + 7);
  // A zero bLength ends the walk instead of looping on it.
  EXPECT_EQ(USBD_ParseDescriptors(cd, cd->wTotalLength, cd, 0x24), nullptr);
  // A descriptor running past the stated total is not returned.
  cd->wTotalLength = 20;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);
  cd->wTotalLength = USHORT(c.size());

  USBD_INTERFACE_LIST_ENTRY list[] = {{i0, nullptr}, {i1, nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                                       GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(0));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface),
            reinterpret_cast<PUCHAR>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  ExFreePool(urb);
  sim::kernel::Shutdown();
}

}  // namespace
}  // namespace sim::usb::testing
