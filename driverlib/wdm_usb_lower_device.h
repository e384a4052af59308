// The USB device below a functional device object: descriptor reads, configuration
// selection with the registered interface and pipe objects, URB submission (waiting with a
// time limit, or with a callback), and the hub's port requests.
#pragma once

// The kernel headers first: the toolchain's usb.h builds on their types.
#include "wdm_lower_device.h"
#include "wdm_pointer_array.h"

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

class WdmUsbInterface;
class WdmUsbPipe;

// Called exactly once for every asynchronous submission, at IRQL up to DISPATCH_LEVEL, with
// the target PDO, the IRP (read Irp->IoStatus; when no IRP could be allocated it is a
// stand-in whose IoStatus alone is meaningful) and the caller's context.
typedef void (*WdmUrbCallback)(PDEVICE_OBJECT TargetPdo, PIRP Irp, PVOID Context);

class WdmUsbLowerDevice : public WdmLowerDevice {
 public:
  // Results of ActivateConfiguration.
  static constexpr ULONG kActivated = 0;
  static constexpr ULONG kInterfaceMissing = 1;
  static constexpr ULONG kNoInterfaceMemory = 2;
  static constexpr ULONG kSelectFailed = 3;
  static constexpr ULONG kInterfaceAbsent = 4;
  static constexpr ULONG kNoConfiguration = 6;
  static constexpr ULONG kNoDeviceDescriptor = 7;
  static constexpr ULONG kPipeMismatch = 8;

  WdmUsbLowerDevice();
  ~WdmUsbLowerDevice() override;

  // Sends the URB down in an IRP of our own.
  // Without Callback: waits (PASSIVE_LEVEL), at most TimeoutMs milliseconds when not 0; a
  // request still below then is cancelled and waited for, and the result is STATUS_TIMEOUT.
  // Otherwise the IRP's status (STATUS_INSUFFICIENT_RESOURCES without an IRP). The URB
  // stays the caller's.
  // With Callback (any IRQL up to DISPATCH_LEVEL): Callback runs exactly once, whatever
  // happens, possibly before this returns; the IRP is the library's and is freed after
  // the callback returns. The return value (the driver's status, or
  // STATUS_INSUFFICIENT_RESOURCES) is only for information: a caller releases the URB and
  // its buffers in the callback and nowhere else, so a failure returned here must not
  // free them again.
  NTSTATUS SubmitUrb(PURB Urb, WdmUrbCallback Callback = nullptr, PVOID Context = nullptr, ULONG TimeoutMs = 0);
  // The same in the caller's IRP (its next stack location is used, so it needs one spare
  // location below the caller's). Without Callback the IRP is completed
  // (IoCompleteRequest) with the result, which is also returned. With Callback the IRP
  // comes back to the caller in the callback (completion stopped with
  // STATUS_MORE_PROCESSING_REQUIRED): the callback completes, reuses or frees it; the
  // library never frees it. As above, the callback runs exactly once and the return value
  // never means "the caller still has to clean up".
  NTSTATUS SubmitUrbWithIrp(PIRP Irp, PURB Urb, WdmUrbCallback Callback = nullptr, PVOID Context = nullptr,
                            ULONG TimeoutMs = 0);

  // The 18-byte device descriptor; STATUS_DEVICE_DATA_ERROR when the device sent less or
  // something else. PASSIVE_LEVEL, as every descriptor read.
  NTSTATUS GetDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Buffer);
  // The text of string descriptor Index in Language, NUL-terminated in Buffer of Length
  // bytes; longer text is cut to Length - 2 bytes and gives STATUS_BUFFER_TOO_SMALL.
  NTSTATUS GetStringDescriptor(UCHAR Index, PWCHAR Buffer, ULONG Length, USHORT Language);
  // Reads configuration descriptor Index (Size bytes at most) into a fresh
  // ConfigurationDescriptor, freeing the old one. Its wTotalLength is cut to what the
  // device really sent, and further at the first descriptor whose bLength does not fit, so
  // every later walk stays inside the bytes received.
  NTSTATUS GetConfigurationDescriptor(UCHAR Index, ULONG Size);
  // Next interface descriptor at or after *Start (null: the beginning) with that number
  // and alternate setting (-1: any), and in *FirstEndpoint (when given) its first endpoint
  // descriptor, null without endpoints. *Start moves past the interface descriptor.
  PUSB_INTERFACE_DESCRIPTOR FindInterface(PVOID* Start, LONG Number, LONG Alternate,
                                          PUSB_ENDPOINT_DESCRIPTOR* FirstEndpoint = nullptr);
  // Selects the configuration whose bConfigurationValue is Value (each descriptor read
  // with Size bytes) with every registered interface of that value, and binds the
  // registered pipes. Returns one of the results above; kPipeMismatch leaves the
  // configuration selected and the matching pipes bound.
  ULONG ActivateConfiguration(UCHAR Value, ULONG Size);
  // Selects no configuration; the interface records go and every object is unbound.
  NTSTATUS Deconfigure();
  // Frees everything of the configuration: registrations (the objects become empty),
  // ConfigurationDescriptor, InterfaceList and the interface records. Sends nothing.
  void ReleaseConfiguration();

  // IOCTL_INTERNAL_USB_GET_PORT_STATUS: USBD_PORT_ENABLED / USBD_PORT_CONNECTED bits.
  NTSTATUS GetPortStatus(PULONG PortStatus);
  // IOCTL_INTERNAL_USB_CYCLE_PORT: the hub detaches and re-enumerates the device.
  NTSTATUS CyclePort();

  // Called by the interface and pipe objects.
  NTSTATUS RegisterInterface(WdmUsbInterface* Interface);
  NTSTATUS RegisterPipe(WdmUsbPipe* Pipe);
  void UnregisterInterface(WdmUsbInterface* Interface);
  void UnregisterPipe(WdmUsbPipe* Pipe);

  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  ULONG ConfigurationLength;  // bytes usable (the cut wTotalLength)
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSBD_INTERFACE_LIST_ENTRY InterfaceList;
  LIST_ENTRY InterfaceInfos;
  WdmPointerArray RegisteredInterfaces;
  WdmPointerArray RegisteredPipes;

  // One selected interface: its endpoint descriptors and what the select returned.
  struct InterfaceRecord {
    LIST_ENTRY Link;
    PUSB_INTERFACE_DESCRIPTOR Descriptor;  // in ConfigurationDescriptor, during activation
    ULONG EndpointCount;
    PUCHAR Endpoints;  // EndpointCount descriptors of 7 bytes
    PUSBD_INTERFACE_INFORMATION Information;  // room for EndpointCount pipes
  };

 private:
  NTSTATUS CallHub(ULONG Code, PVOID Argument1);
  NTSTATUS ReadDescriptor(UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer, ULONG Length, PULONG Received);
  void FreeInterfaceRecords();
  void UnbindAll();
  NTSTATUS AddInterfaceRecord(PUSB_INTERFACE_DESCRIPTOR Interface, InterfaceRecord** Record);
  InterfaceRecord* RecordFor(UCHAR InterfaceNumber);
};
