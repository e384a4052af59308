// The names a USB function driver gives its interfaces and endpoints: interface and pipe
// objects registered with a WdmUsbLowerDevice, bound to the handles of the selected
// configuration, and the requests built on them.
#pragma once

#include "wdm_usb_lower_device.h"

class WdmUsbInterface {
 public:
  WdmUsbInterface();
  ~WdmUsbInterface();
  WdmUsbInterface(const WdmUsbInterface&) = delete;
  WdmUsbInterface& operator=(const WdmUsbInterface&) = delete;

  // Registers the interface with Owner for configuration ConfigurationValue. A failed
  // registration leaves the object empty and returns STATUS_UNSUCCESSFUL.
  NTSTATUS Initialize(WdmUsbLowerDevice* Owner, UCHAR InterfaceNumber, UCHAR AlternateSetting,
                      UCHAR ConfigurationValue);

  // Fills a class or vendor request to this interface (Index = InterfaceNumber) in Urb, or
  // in a fresh pool URB when Urb is null (null when there is no memory; the caller frees
  // it with ExFreePoolWithTag(urb, WDM_POOL_TAG)). Function is URB_FUNCTION_VENDOR_INTERFACE
  // or URB_FUNCTION_CLASS_INTERFACE; flags as for a transfer: out 0, in 1, in with short
  // transfers 3. Any IRQL up to DISPATCH_LEVEL.
  PURB BuildRequest(PURB Urb, USHORT Function, BOOLEAN In, BOOLEAN ShortOk, PVOID Buffer, ULONG Length,
                    UCHAR ReservedBits, UCHAR Request, USHORT Value);
  PURB BuildVendorRequest(PURB Urb, BOOLEAN In, BOOLEAN ShortOk, PVOID Buffer, ULONG Length, UCHAR ReservedBits,
                          UCHAR Request, USHORT Value) {
    return BuildRequest(Urb, URB_FUNCTION_VENDOR_INTERFACE, In, ShortOk, Buffer, Length, ReservedBits, Request, Value);
  }
  PURB BuildClassRequest(PURB Urb, BOOLEAN In, BOOLEAN ShortOk, PVOID Buffer, ULONG Length, UCHAR ReservedBits,
                         UCHAR Request, USHORT Value) {
    return BuildRequest(Urb, URB_FUNCTION_CLASS_INTERFACE, In, ShortOk, Buffer, Length, ReservedBits, Request, Value);
  }

  BOOLEAN IsBound() const { return InterfaceHandle != nullptr; }
  // Called by the owner.
  void Bind(PUSBD_INTERFACE_INFORMATION Info, USBD_CONFIGURATION_HANDLE Configuration);
  void Unbind();
  void Detach();  // the owner lets go of the object: it becomes empty

  WdmUsbLowerDevice* Owner;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR ConfigurationValue;
  PUSBD_INTERFACE_INFORMATION Information;  // in the owner's interface record while bound
  USBD_INTERFACE_HANDLE InterfaceHandle;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
};

class WdmUsbPipe {
 public:
  WdmUsbPipe();
  ~WdmUsbPipe();
  WdmUsbPipe(const WdmUsbPipe&) = delete;
  WdmUsbPipe& operator=(const WdmUsbPipe&) = delete;

  // Registers the endpoint with Owner; MaximumTransferSize goes into the select request.
  // A failed registration leaves the object empty and returns STATUS_UNSUCCESSFUL.
  NTSTATUS Initialize(WdmUsbLowerDevice* Owner, UCHAR EndpointAddress, ULONG MaximumTransferSize);

  // URB_FUNCTION_RESET_PIPE / URB_FUNCTION_ABORT_PIPE, waiting without limit
  // (PASSIVE_LEVEL). STATUS_INVALID_DEVICE_STATE while the pipe is not bound.
  NTSTATUS ResetPipe();
  NTSTATUS AbortPipe();
  // Fills a bulk or interrupt transfer on this pipe in Urb, or in a fresh pool URB when
  // Urb is null (freed by the caller with ExFreePoolWithTag(urb, WDM_POOL_TAG)); null when
  // there is no memory. Any IRQL up to DISPATCH_LEVEL.
  PURB BuildTransfer(PURB Urb, PVOID Buffer, ULONG Length, BOOLEAN In, BOOLEAN ShortOk);

  BOOLEAN IsBound() const { return Information != nullptr; }
  USBD_PIPE_HANDLE Handle() const { return Information ? Information->PipeHandle : nullptr; }
  // Called by the owner.
  void Bind(WdmUsbInterface* Interface, ULONG Index);
  void Unbind();
  void Detach();

  WdmUsbLowerDevice* Owner;
  UCHAR EndpointAddress;
  ULONG MaximumTransferSize;
  PUSBD_PIPE_INFORMATION Information;  // in the owner's interface record while bound
  WdmUsbInterface* Interface;
  ULONG Index;  // in the interface's pipes

 private:
  NTSTATUS PipeRequest(USHORT Function);
};
