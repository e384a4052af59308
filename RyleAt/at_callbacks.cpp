// The calls that cross between drivers through the record besides transmission: the
// context check every entry makes, responses and line events up to the client, line
// control down to the bus.
#include "at_device.h"
#include "wdm_driver.h"

AtChannelDevice* AtChannelDevice::FromContext(PVOID Context) {
  if (!Context || !TheDriver) return nullptr;
  // The context is only compared against this driver's own device objects before it is
  // used: a stray pointer is never read through.
  for (PDEVICE_OBJECT device = TheDriver->DriverObject->DeviceObject; device; device = device->NextDevice) {
    if (device != Context) continue;
    auto* object = static_cast<AtChannelDevice*>(WdmDevice::FromDeviceObject(device));
    return object && object->Binding.AtContext == Context ? object : nullptr;
  }
  return nullptr;
}

LONG NTAPI AtChannelDevice::ResponseReceived(PVOID Context, PCHANNEL_BUFFER Buffer) {
  AtChannelDevice* device = FromContext(Context);
  if (!device || !Buffer) return 0;
  // The client copies what it takes during the call; the buffer is ours to free whatever
  // it reports. A client that has closed is not called any more.
  ULONG taken = 0;
  if (device->IsOpen && device->Binding.ClientReceive)
    device->Binding.ClientReceive(device->Binding.ClientContext, Buffer, &taken);
  ExFreePool(Buffer);
  return 1;
}

LONG NTAPI AtChannelDevice::LineEvent(PVOID Context, ULONG Code) {
  AtChannelDevice* device = FromContext(Context);
  if (!device || !device->IsOpen || !device->Binding.ClientEvent) return 0;
  return device->Binding.ClientEvent(device->Binding.ClientContext, Code);
}

LONG NTAPI AtChannelDevice::ClientLineControl(PVOID Context, ULONG Code) {
  AtChannelDevice* device = FromContext(Context);
  if (!device || !device->Binding.SetLineControl) return 0;
  return device->Binding.SetLineControl(device->Binding.BusDevice, Code);
}
