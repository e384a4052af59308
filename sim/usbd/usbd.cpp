// The usbd exports: walking configuration descriptors for interfaces and other
// descriptors, and building select-configuration URBs from an interface list.
// Descriptors come from devices, so every walk is bounded by the stated total
// length and stops at a zero or overlong bLength instead of looping or reading past it.
#include <usbdlib.h>
#include <wdm.h>

#include <cstring>

#include "pool.h"

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

// The descriptor at `p` if it lies wholly inside [p, end) and has a usable length.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const UCHAR* p, const UCHAR* end) {
  if (p == nullptr || p + sizeof(USB_COMMON_DESCRIPTOR) > end) return nullptr;
  const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
  if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end) return nullptr;
  return d;
}

const UCHAR* ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR c) {
  return reinterpret_cast<const UCHAR*>(c) + c->wTotalLength;
}

}  // namespace

extern "C" {

void NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x0110;  // a full-speed host
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
  const UCHAR* end = begin + TotalLength;
  const auto* p = static_cast<const UCHAR*>(StartPosition);
  if (p < begin) return nullptr;
  for (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end); d != nullptr; d = DescriptorAt(p, end)) {
    if (d->bDescriptorType == DescriptorType) return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    p += d->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  PVOID at = StartPosition ? StartPosition : ConfigurationDescriptor;
  const UCHAR* end = ConfigurationEnd(ConfigurationDescriptor);
  for (;;) {
    auto* d = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, at,
                                    USB_INTERFACE_DESCRIPTOR_TYPE);
    if (d == nullptr) return nullptr;
    auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    // A truncated interface descriptor cannot be matched on its later fields.
    if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        reinterpret_cast<const UCHAR*>(d) + sizeof(USB_INTERFACE_DESCRIPTOR) <= end &&
        (InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol)) {
      return i;
    }
    at = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (InterfaceDescriptor == nullptr) return 0;
  const auto* begin = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
  const UCHAR* p = begin;
  const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, BufferEnd);
  if (d == nullptr) return 0;
  p += d->bLength;
  // Everything up to the next interface descriptor belongs to this one.
  while ((d = DescriptorAt(p, BufferEnd)) != nullptr && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
    p += d->bLength;
  }
  return ULONG(p - begin);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  const void* caller = __builtin_return_address(0);
  const UCHAR* end = ConfigurationEnd(ConfigurationDescriptor);
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  ULONG count = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e, ++count) {
    const auto* i = reinterpret_cast<const UCHAR*>(e->InterfaceDescriptor);
    if (i + sizeof(USB_INTERFACE_DESCRIPTOR) > end) return nullptr;  // not inside this configuration
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  }
  if (count == 0) return nullptr;
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > MAXUSHORT) return nullptr;  // Hdr.Length could not describe it

  auto* urb = static_cast<PURB>(sim::kernel::pool::Allocate(NonPagedPool, size, kUsbdTag, caller));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  UsbBuildSelectConfigurationRequest(urb, USHORT(size), ConfigurationDescriptor);
  return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (Siz) *Siz = 0;
  if (ConfigurationDescriptor == nullptr) return nullptr;
  // Alternate setting 0 of every interface, as the older export did.
  USBD_INTERFACE_LIST_ENTRY list[65] = {};
  ULONG n = 0;
  PVOID at = ConfigurationDescriptor;
  while (n < 64) {
    PUSB_INTERFACE_DESCRIPTOR i =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, at, -1, 0, -1, -1, -1);
    if (i == nullptr) break;
    list[n++].InterfaceDescriptor = i;
    at = reinterpret_cast<PUCHAR>(i) + i->bLength;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb && Siz) *Siz = urb->UrbHeader.Length;
  return urb;
}

}  // extern "C"
