// Interface and pipe objects: registration with their lower device, binding to the
// selected configuration's handles, pipe reset and abort, and the URBs built on them.
#include "wdm_usb_interface.h"

WdmUsbInterface::WdmUsbInterface()
    : Owner(nullptr),
      InterfaceNumber(0),
      AlternateSetting(0),
      ConfigurationValue(0),
      Information(nullptr),
      InterfaceHandle(nullptr),
      ConfigurationHandle(nullptr) {}

WdmUsbInterface::~WdmUsbInterface() {
  if (Owner) Owner->UnregisterInterface(this);
}

NTSTATUS WdmUsbInterface::Initialize(WdmUsbLowerDevice* NewOwner, UCHAR Number, UCHAR Alternate, UCHAR Value) {
  if (Owner) Owner->UnregisterInterface(this);
  Detach();
  if (!NewOwner || !NT_SUCCESS(NewOwner->RegisterInterface(this))) return STATUS_UNSUCCESSFUL;
  Owner = NewOwner;
  InterfaceNumber = Number;
  AlternateSetting = Alternate;
  ConfigurationValue = Value;
  return STATUS_SUCCESS;
}

void WdmUsbInterface::Bind(PUSBD_INTERFACE_INFORMATION Info, USBD_CONFIGURATION_HANDLE Configuration) {
  Information = Info;
  InterfaceHandle = Info->InterfaceHandle;
  ConfigurationHandle = Configuration;
}

void WdmUsbInterface::Unbind() {
  Information = nullptr;
  InterfaceHandle = nullptr;
  ConfigurationHandle = nullptr;
}

void WdmUsbInterface::Detach() {
  Unbind();
  Owner = nullptr;
  InterfaceNumber = AlternateSetting = ConfigurationValue = 0;
}

PURB WdmUsbInterface::BuildRequest(PURB Urb, USHORT Function, BOOLEAN In, BOOLEAN ShortOk, PVOID Buffer, ULONG Length,
                                   UCHAR ReservedBits, UCHAR Request, USHORT Value) {
  const USHORT size = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  if (!Urb) Urb = static_cast<PURB>(WdmAllocate(size));
  if (!Urb) return nullptr;
  RtlZeroMemory(Urb, size);
  ULONG flags = In ? (USBD_TRANSFER_DIRECTION_IN | (ShortOk ? USBD_SHORT_TRANSFER_OK : 0)) : 0;
  UsbBuildVendorRequest(Urb, Function, size, flags, ReservedBits, Request, Value, InterfaceNumber, Buffer, nullptr,
                        Length, nullptr);
  return Urb;
}

WdmUsbPipe::WdmUsbPipe()
    : Owner(nullptr), EndpointAddress(0), MaximumTransferSize(0), Information(nullptr), Interface(nullptr), Index(0) {}

WdmUsbPipe::~WdmUsbPipe() {
  if (Owner) Owner->UnregisterPipe(this);
}

NTSTATUS WdmUsbPipe::Initialize(WdmUsbLowerDevice* NewOwner, UCHAR Address, ULONG TransferSize) {
  if (Owner) Owner->UnregisterPipe(this);
  Detach();
  if (!NewOwner || !NT_SUCCESS(NewOwner->RegisterPipe(this))) return STATUS_UNSUCCESSFUL;
  Owner = NewOwner;
  EndpointAddress = Address;
  MaximumTransferSize = TransferSize;
  return STATUS_SUCCESS;
}

void WdmUsbPipe::Bind(WdmUsbInterface* Owning, ULONG PipeIndex) {
  Interface = Owning;
  Index = PipeIndex;
  Information = &Owning->Information->Pipes[PipeIndex];
}

void WdmUsbPipe::Unbind() {
  Information = nullptr;
  Interface = nullptr;
  Index = 0;
}

void WdmUsbPipe::Detach() {
  Unbind();
  Owner = nullptr;
  EndpointAddress = 0;
  MaximumTransferSize = 0;
}

// The URB lives on this stack: the request is waited for in kernel mode, so the stack
// stays resident, and an abort needs no pool. Stopping a reader or a removal must not
// depend on memory it may be waiting for.
NTSTATUS WdmUsbPipe::PipeRequest(USHORT Function) {
  if (!Owner || !IsBound()) return STATUS_INVALID_DEVICE_STATE;
  struct _URB_PIPE_REQUEST request;
  RtlZeroMemory(&request, sizeof(request));
  request.Hdr.Length = (USHORT)sizeof(request);
  request.Hdr.Function = Function;
  request.PipeHandle = Handle();
  return Owner->SubmitUrb(reinterpret_cast<PURB>(&request));
}

NTSTATUS WdmUsbPipe::ResetPipe() { return PipeRequest(URB_FUNCTION_RESET_PIPE); }

NTSTATUS WdmUsbPipe::AbortPipe() { return PipeRequest(URB_FUNCTION_ABORT_PIPE); }

PURB WdmUsbPipe::BuildTransfer(PURB Urb, PVOID Buffer, ULONG Length, BOOLEAN In, BOOLEAN ShortOk) {
  const USHORT size = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  if (!Urb) Urb = static_cast<PURB>(WdmAllocate(size));
  if (!Urb) return nullptr;
  RtlZeroMemory(Urb, size);
  ULONG flags = In ? (USBD_TRANSFER_DIRECTION_IN | (ShortOk ? USBD_SHORT_TRANSFER_OK : 0)) : 0;
  UsbBuildInterruptOrBulkTransferRequest(Urb, size, Handle(), Buffer, nullptr, Length, flags, nullptr);
  return Urb;
}
