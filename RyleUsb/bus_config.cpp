// The bus FDO's start: the configuration read once and sorted into slots with their
// interface and pipe objects, the configuration activated, the serial number, the
// parameters, the channels' readers and probes, and the children.
#include "bus_device.h"

namespace {

const ULONG kConfigurationBufferSize = 4096;
const UCHAR kConfigurationValue = 1;
const USHORT kLanguageEnglishUs = 0x0409;

}  // namespace

BOOLEAN UsbBusDevice::ParseConfiguration() {
  if (Configuration) return TRUE;
  // The raw bytes, as many as the device sent: the parser checks the device's own length
  // claims against this count.
  auto* buffer = static_cast<PUCHAR>(WdmAllocate(kConfigurationBufferSize));
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  auto* config = static_cast<UsbBusConfiguration*>(WdmAllocate(sizeof(UsbBusConfiguration)));
  BOOLEAN ok = buffer && urb && config;
  if (ok) {
    RtlZeroMemory(buffer, kConfigurationBufferSize);
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, kConfigurationBufferSize,
                                 nullptr);
    NTSTATUS status = Usb.SubmitUrb(urb);
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ok = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status) && received <= kConfigurationBufferSize &&
         UsbBusParseConfiguration(buffer, received, config);
  }
  WdmFree(buffer);
  WdmFree(urb);
  if (!ok) {
    WdmFree(config);
    return FALSE;
  }
  Configuration = config;
  Slot = config->Slot;
  RemoteWakeup = config->RemoteWakeup;
  if (!NT_SUCCESS(RegisterConfiguration())) return FALSE;
  return TRUE;
}

// Interface objects for every interface record, pipe objects for every endpoint, all
// registered with the USB lower device for the select request.
NTSTATUS UsbBusDevice::RegisterConfiguration() {
  for (ULONG s = 0; s < kSlots; s++) {
    const UsbSlotConfiguration& slot = Slot[s];
    for (ULONG i = 0; i < slot.InterfaceCount; i++) {
      const UsbInterfaceRecord& record = slot.Interfaces[i];
      NTSTATUS status =
          Interfaces[record.Number].Initialize(&Usb, record.Number, record.AlternateSetting, kConfigurationValue);
      if (!NT_SUCCESS(status)) return status;
      for (ULONG e = 0; e < record.EndpointCount; e++) {
        const UsbEndpointRecord& ep = record.Endpoints[e];
        for (ULONG k = 0; k < UsbPipeKinds; k++) {
          if (slot.PipeInterface[k] == record.Number && slot.PipeAddress[k] == ep.Address) {
            status = Pipes[s][k].Initialize(&Usb, ep.Address, ep.MaxTransferSize);
            if (!NT_SUCCESS(status)) return status;
          }
        }
      }
    }
  }
  return STATUS_SUCCESS;
}

// A phone without a readable serial number gets "0000". A read that failed for want of
// memory fails the start instead: the children would come back under other instance ids,
// as new devices with new COM ports.
NTSTATUS UsbBusDevice::ReadSerialNumber() {
  USB_DEVICE_DESCRIPTOR device;
  HasSerialNumber = FALSE;
  RtlZeroMemory(SerialNumber, sizeof(SerialNumber));
  NTSTATUS status = Usb.GetDeviceDescriptor(&device);
  if (NT_SUCCESS(status) && device.iSerialNumber != 0) {
    status = Usb.GetStringDescriptor(device.iSerialNumber, SerialNumber, sizeof(SerialNumber), kLanguageEnglishUs);
    if (NT_SUCCESS(status) && SerialNumber[0] != 0) {
      HasSerialNumber = TRUE;
      return STATUS_SUCCESS;
    }
  }
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  RtlZeroMemory(SerialNumber, sizeof(SerialNumber));
  for (ULONG i = 0; i < 4; i++) SerialNumber[i] = L'0';
  return STATUS_SUCCESS;
}

NTSTATUS UsbBusDevice::OnStartDevice(PIRP Irp) {
  if (!IsBusFdo) return ChildPnp(Irp);
  Irp->IoStatus.Information = 0;
  if (PnpState == kNeverStarted && !ParseConfiguration()) return STATUS_UNSUCCESSFUL;

  // A phone whose pipes do not match what was parsed cannot carry its functions: the
  // start fails rather than report a device that has no channels, probes or children.
  if (Usb.ActivateConfiguration(kConfigurationValue, kConfigurationBufferSize) != WdmUsbLowerDevice::kActivated) {
    Usb.Deconfigure();
    return STATUS_UNSUCCESSFUL;
  }

  if (RemoteWakeup) {
    SetDefaultPowerPolicies(TRUE);
    QueryPowerPolicy &= ~kBusyWhileOpen;
    PowerPolicy &= ~kQueryCapabilities;
    PowerPolicy |= kFollowSystemWake;
  }

  if (PnpState == kStateStopped) {
    PreviousPnpState = kStateStopped;
    PnpState = kStateStarted;
    SetUpChannels();
    return STATUS_SUCCESS;
  }

  for (ULONG s = 0; s < kSlots; s++) {
    Channels[s].Owner = nullptr;
    Channels[s].ProbeOk = FALSE;
    Channels[s].Active = FALSE;
  }
  USB_DEVICE_DESCRIPTOR device;
  NTSTATUS status = Usb.GetDeviceDescriptor(&device);
  if (!NT_SUCCESS(status)) return status;
  status = ReadSerialNumber();
  if (!NT_SUCCESS(status)) return status;
  SavedCapabilities.UINumber = 0xFFFFFFFF;
  PreviousPnpState = PnpState;
  PnpState = kStateStarted;

  status = ReadParameters();
  if (NT_SUCCESS(status)) SetUpChannels();
  if (NT_SUCCESS(status) && UsbMode != 3) status = CreateChildren();
  if (NT_SUCCESS(status)) status = StartWorker();
  return status;
}
