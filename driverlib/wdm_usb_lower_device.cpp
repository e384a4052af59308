// The USB lower device: URBs in IRPs of our own or the caller's, descriptor reads that
// never trust the device's lengths beyond the bytes it sent, configuration selection and
// binding of the registered interface and pipe objects, and the hub's port requests.
#include "wdm_usb_lower_device.h"

#include "wdm_usb_interface.h"

namespace {

const ULONG kEndpointLength = 7;  // what a 1.1 endpoint descriptor carries
const ULONG kRegistrationStep = 3;

struct SyncCall {
  KEVENT Done;
};

// What an asynchronous submission keeps while the IRP is below: 8 bytes on 32 bits.
struct AsyncCall {
  WdmUrbCallback Callback;
  PVOID Context;
};

NTSTATUS NTAPI SyncDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(&static_cast<SyncCall*>(Context)->Done, IO_NO_INCREMENT, FALSE);
  // The waiter owns the IRP; it must not go further up.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct OwnIrpCall {
  AsyncCall Call;
  PDEVICE_OBJECT Target;
};

NTSTATUS NTAPI AsyncOwnIrpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  OwnIrpCall call = *static_cast<OwnIrpCall*>(Context);
  WdmFree(Context);
  call.Call.Callback(call.Target, Irp, call.Call.Context);
  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI AsyncCallerIrpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  OwnIrpCall call = *static_cast<OwnIrpCall*>(Context);
  WdmFree(Context);
  // From here the IRP is the caller's again; the callback decides its fate.
  call.Call.Callback(call.Target, Irp, call.Call.Context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Only IoStatus of this stand-in is meaningful to the callback.
void CallWithoutIrp(WdmUrbCallback Callback, PDEVICE_OBJECT Target, PVOID Context, NTSTATUS Status) {
  IRP standIn;
  RtlZeroMemory(&standIn, sizeof(standIn));
  standIn.IoStatus.Status = Status;
  Callback(Target, &standIn, Context);
}

void SetUrbLocation(PIRP Irp, ULONG Code, PVOID Argument1) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = 0;
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  next->Parameters.Others.Argument1 = Argument1;
}

// Sends the IRP whose next location is set up and waits for it, cancelling it after
// TimeoutMs when not 0. The IRP stays the caller's.
NTSTATUS SendAndWait(PDEVICE_OBJECT Top, PIRP Irp, ULONG TimeoutMs) {
  SyncCall call;
  KeInitializeEvent(&call.Done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, SyncDone, &call, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(Top, Irp);
  if (status == STATUS_PENDING && TimeoutMs) {
    LARGE_INTEGER limit;
    limit.QuadPart = -(LONGLONG)TimeoutMs * 10000;
    if (KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
      // The IRP and the event on this stack must come back before we go.
      IoCancelIrp(Irp);
      KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, nullptr);
      return STATUS_TIMEOUT;
    }
  } else {
    KeWaitForSingleObject(&call.Done, Executive, KernelMode, FALSE, nullptr);
  }
  return Irp->IoStatus.Status;
}

// The descriptor at P if it lies wholly before End with a usable bLength, else null.
PUSB_COMMON_DESCRIPTOR DescriptorAt(PUCHAR P, PUCHAR End) {
  if (P >= End || (ULONG_PTR)(End - P) < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
  auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(P);
  if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > (ULONG_PTR)(End - P)) return nullptr;
  return d;
}

}  // namespace

WdmUsbLowerDevice::WdmUsbLowerDevice()
    : ConfigurationDescriptor(nullptr), ConfigurationLength(0), ConfigurationHandle(nullptr), InterfaceList(nullptr) {
  InitializeListHead(&InterfaceInfos);
  RegisteredInterfaces.Initialize(0, kRegistrationStep);
  RegisteredPipes.Initialize(0, kRegistrationStep);
}

WdmUsbLowerDevice::~WdmUsbLowerDevice() { ReleaseConfiguration(); }

// ---- URB submission ---------------------------------------------------------------------

NTSTATUS WdmUsbLowerDevice::SubmitUrb(PURB Urb, WdmUrbCallback Callback, PVOID Context, ULONG TimeoutMs) {
  PDEVICE_OBJECT top = TopOfStack;
  if (!top) {
    if (Callback) CallWithoutIrp(Callback, TargetPdo, Context, STATUS_NO_SUCH_DEVICE);
    return STATUS_NO_SUCH_DEVICE;
  }
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    if (Callback) CallWithoutIrp(Callback, TargetPdo, Context, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SetUrbLocation(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
  if (!Callback) {
    NTSTATUS status = SendAndWait(top, irp, TimeoutMs);
    IoFreeIrp(irp);
    return status;
  }
  auto* call = static_cast<OwnIrpCall*>(WdmAllocate(sizeof(OwnIrpCall)));
  if (!call) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    Callback(TargetPdo, irp, Context);
    IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  call->Call.Callback = Callback;
  call->Call.Context = Context;
  call->Target = TargetPdo;
  IoSetCompletionRoutine(irp, AsyncOwnIrpDone, call, TRUE, TRUE, TRUE);
  // Past this call the IRP may already be gone: its status is all we may report.
  return IofCallDriver(top, irp);
}

NTSTATUS WdmUsbLowerDevice::SubmitUrbWithIrp(PIRP Irp, PURB Urb, WdmUrbCallback Callback, PVOID Context,
                                             ULONG TimeoutMs) {
  PDEVICE_OBJECT top = TopOfStack;
  NTSTATUS failure = STATUS_SUCCESS;
  if (!top) failure = STATUS_NO_SUCH_DEVICE;
  // A location for the device below must be left.
  else if (Irp->CurrentLocation <= 1) failure = STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(failure)) {
    Irp->IoStatus.Status = failure;
    Irp->IoStatus.Information = 0;
    if (Callback) Callback(TargetPdo, Irp, Context);
    else IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return failure;
  }
  SetUrbLocation(Irp, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
  if (!Callback) {
    NTSTATUS status = SendAndWait(top, Irp, TimeoutMs);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  auto* call = static_cast<OwnIrpCall*>(WdmAllocate(sizeof(OwnIrpCall)));
  if (!call) {
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    Irp->IoStatus.Information = 0;
    Callback(TargetPdo, Irp, Context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  call->Call.Callback = Callback;
  call->Call.Context = Context;
  call->Target = TargetPdo;
  IoSetCompletionRoutine(Irp, AsyncCallerIrpDone, call, TRUE, TRUE, TRUE);
  return IofCallDriver(top, Irp);
}

NTSTATUS WdmUsbLowerDevice::CallHub(ULONG Code, PVOID Argument1) {
  PDEVICE_OBJECT top = TopOfStack;
  if (!top) return STATUS_NO_SUCH_DEVICE;
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  SetUrbLocation(irp, Code, Argument1);
  NTSTATUS status = SendAndWait(top, irp, 0);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS WdmUsbLowerDevice::GetPortStatus(PULONG PortStatus) {
  *PortStatus = 0;
  return CallHub(IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

NTSTATUS WdmUsbLowerDevice::CyclePort() { return CallHub(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr); }

// ---- Descriptors ----------------------------------------------------------------------------

NTSTATUS WdmUsbLowerDevice::ReadDescriptor(UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer, ULONG Length,
                                           PULONG Received) {
  *Received = 0;
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, Index, Language,
                               Buffer, nullptr, Length, nullptr);
  NTSTATUS status = SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    // The host reports what really arrived; never more than the buffer.
    ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *Received = got < Length ? got : Length;
  }
  WdmFree(urb);
  return status;
}

NTSTATUS WdmUsbLowerDevice::GetDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Buffer) {
  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Buffer, sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (!NT_SUCCESS(status)) return status;
  // Half a descriptor would make bNumConfigurations and the string indexes garbage.
  if (received < sizeof(USB_DEVICE_DESCRIPTOR) || Buffer->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE ||
      Buffer->bLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WdmUsbLowerDevice::GetStringDescriptor(UCHAR Index, PWCHAR Buffer, ULONG Length, USHORT Language) {
  if (!Buffer || Length < sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
  Buffer[0] = 0;
  UCHAR head[4] = {};
  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, Language, head, sizeof(head), &received);
  if (!NT_SUCCESS(status)) return status;
  if (received < 2 || head[0] < 2 || head[1] != USB_STRING_DESCRIPTOR_TYPE) return STATUS_DEVICE_DATA_ERROR;
  ULONG length = head[0];
  auto* whole = static_cast<PUCHAR>(WdmAllocate(length));
  if (!whole) return STATUS_INSUFFICIENT_RESOURCES;
  status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, Language, whole, length, &received);
  if (NT_SUCCESS(status) && (received < 2 || whole[1] != USB_STRING_DESCRIPTOR_TYPE)) status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status)) {
    WdmFree(whole);
    return status;
  }
  // Only whole characters that really arrived count as text.
  ULONG text = (received - 2) & ~1UL;
  ULONG room = (Length - sizeof(WCHAR)) & ~1UL;
  ULONG copy = text < room ? text : room;
  RtlCopyMemory(Buffer, whole + 2, copy);
  Buffer[copy / sizeof(WCHAR)] = 0;
  WdmFree(whole);
  return copy < text ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS WdmUsbLowerDevice::GetConfigurationDescriptor(UCHAR Index, ULONG Size) {
  // Interface records point into the descriptor being replaced.
  UnbindAll();
  FreeInterfaceRecords();
  WdmFree(ConfigurationDescriptor);
  ConfigurationDescriptor = nullptr;
  ConfigurationLength = 0;
  if (Size < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Size > 0xFFFF) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<PUCHAR>(WdmAllocate(Size));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, Size);
  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, 0, buffer, Size, &received);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
  if (NT_SUCCESS(status) && (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
                             cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
                             cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    WdmFree(buffer);
    return status;
  }
  // The walks (ours and usbd's) follow wTotalLength and bLength: cut the first to what
  // arrived, then at the first descriptor that does not fit, so neither can lead outside.
  ULONG total = cd->wTotalLength < received ? cd->wTotalLength : received;
  PUCHAR end = buffer + total;
  PUCHAR p = buffer;
  for (PUSB_COMMON_DESCRIPTOR d = DescriptorAt(p, end); d; d = DescriptorAt(p, end)) p += d->bLength;
  total = (ULONG)(p - buffer);
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    WdmFree(buffer);
    return STATUS_DEVICE_DATA_ERROR;
  }
  cd->wTotalLength = (USHORT)total;
  ConfigurationDescriptor = cd;
  ConfigurationLength = total;
  return STATUS_SUCCESS;
}

PUSB_INTERFACE_DESCRIPTOR WdmUsbLowerDevice::FindInterface(PVOID* Start, LONG Number, LONG Alternate,
                                                           PUSB_ENDPOINT_DESCRIPTOR* FirstEndpoint) {
  if (FirstEndpoint) *FirstEndpoint = nullptr;
  if (!ConfigurationDescriptor) return nullptr;
  auto* begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  PUCHAR end = begin + ConfigurationLength;
  PVOID start = Start && *Start ? *Start : ConfigurationDescriptor;
  if ((PUCHAR)start < begin || (PUCHAR)start >= end) return nullptr;
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, start, Number, Alternate, -1, -1, -1);
  if (!found) return nullptr;
  auto* at = reinterpret_cast<PUCHAR>(found);
  // A short interface descriptor has no fields to trust.
  if (at < begin || at >= end || found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) ||
      (ULONG_PTR)(end - at) < found->bLength) {
    return nullptr;
  }
  if (Start) *Start = at + found->bLength;
  if (FirstEndpoint && found->bNumEndpoints) {
    // Within this interface only: the next interface's endpoints are not ours.
    PUCHAR p = at + found->bLength;
    for (PUSB_COMMON_DESCRIPTOR d = DescriptorAt(p, end); d && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE;
         d = DescriptorAt(p, end)) {
      if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= kEndpointLength) {
        *FirstEndpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d);
        break;
      }
      p += d->bLength;
    }
  }
  return found;
}

// ---- Configuration ----------------------------------------------------------------------------

void WdmUsbLowerDevice::UnbindAll() {
  for (LONG i = 0; i <= RegisteredPipes.HighestIndex; i++) {
    if (auto* pipe = static_cast<WdmUsbPipe*>(RegisteredPipes.GetAt((ULONG)i))) pipe->Unbind();
  }
  for (LONG i = 0; i <= RegisteredInterfaces.HighestIndex; i++) {
    if (auto* iface = static_cast<WdmUsbInterface*>(RegisteredInterfaces.GetAt((ULONG)i))) iface->Unbind();
  }
}

void WdmUsbLowerDevice::FreeInterfaceRecords() {
  while (!IsListEmpty(&InterfaceInfos)) {
    PLIST_ENTRY entry = RemoveHeadList(&InterfaceInfos);
    auto* record = CONTAINING_RECORD(entry, InterfaceRecord, Link);
    WdmFree(record->Endpoints);
    WdmFree(record->Information);
    WdmFree(record);
  }
  WdmFree(InterfaceList);
  InterfaceList = nullptr;
}

WdmUsbLowerDevice::InterfaceRecord* WdmUsbLowerDevice::RecordFor(UCHAR InterfaceNumber) {
  for (PLIST_ENTRY e = InterfaceInfos.Flink; e != &InterfaceInfos; e = e->Flink) {
    auto* record = CONTAINING_RECORD(e, InterfaceRecord, Link);
    if (record->Descriptor->bInterfaceNumber == InterfaceNumber) return record;
  }
  return nullptr;
}

// Copies the interface's endpoint descriptors into a scratch area of its own size. A
// descriptor set whose interface claims more endpoints than it carries is refused.
NTSTATUS WdmUsbLowerDevice::AddInterfaceRecord(PUSB_INTERFACE_DESCRIPTOR Interface, InterfaceRecord** Record) {
  *Record = nullptr;
  ULONG count = Interface->bNumEndpoints;
  auto* record = static_cast<InterfaceRecord*>(WdmAllocate(sizeof(InterfaceRecord)));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(record, sizeof(*record));
  record->Descriptor = Interface;
  record->EndpointCount = count;
  ULONG infoSize = GET_USBD_INTERFACE_SIZE(count);
  record->Information = static_cast<PUSBD_INTERFACE_INFORMATION>(WdmAllocate(infoSize));
  record->Endpoints = count ? static_cast<PUCHAR>(WdmAllocate(count * kEndpointLength)) : nullptr;
  if (!record->Information || (count && !record->Endpoints)) {
    WdmFree(record->Information);
    WdmFree(record->Endpoints);
    WdmFree(record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(record->Information, infoSize);
  auto* at = reinterpret_cast<PUCHAR>(Interface);
  PUCHAR end = reinterpret_cast<PUCHAR>(ConfigurationDescriptor) + ConfigurationLength;
  PUCHAR p = at + Interface->bLength;
  ULONG found = 0;
  for (PUSB_COMMON_DESCRIPTOR d = DescriptorAt(p, end); d && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE;
       d = DescriptorAt(p, end)) {
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (d->bLength < kEndpointLength || found == count) break;
      RtlCopyMemory(record->Endpoints + found * kEndpointLength, d, kEndpointLength);
      found++;
    }
    p += d->bLength;
  }
  if (found != count) {
    WdmFree(record->Information);
    WdmFree(record->Endpoints);
    WdmFree(record);
    return STATUS_DEVICE_DATA_ERROR;
  }
  InsertTailList(&InterfaceInfos, &record->Link);
  *Record = record;
  return STATUS_SUCCESS;
}

ULONG WdmUsbLowerDevice::ActivateConfiguration(UCHAR Value, ULONG Size) {
  USB_DEVICE_DESCRIPTOR device;
  if (!NT_SUCCESS(GetDeviceDescriptor(&device))) return kNoDeviceDescriptor;
  BOOLEAN matched = FALSE;
  for (UCHAR index = 0; index < device.bNumConfigurations; index++) {
    if (!NT_SUCCESS(GetConfigurationDescriptor(index, Size))) return kNoConfiguration;
    if (ConfigurationDescriptor->bConfigurationValue == Value) {
      matched = TRUE;
      break;
    }
  }
  if (!matched) return kNoConfiguration;
  // GetConfigurationDescriptor dropped the records and bindings of the last activation.
  ConfigurationHandle = nullptr;

  ULONG interfaces = 0;
  for (LONG i = 0; i <= RegisteredInterfaces.HighestIndex; i++) {
    auto* iface = static_cast<WdmUsbInterface*>(RegisteredInterfaces.GetAt((ULONG)i));
    if (!iface || iface->ConfigurationValue != Value) continue;
    if (RecordFor(iface->InterfaceNumber)) continue;  // two objects naming one interface
    PVOID start = nullptr;
    PUSB_INTERFACE_DESCRIPTOR d = FindInterface(&start, iface->InterfaceNumber, iface->AlternateSetting);
    if (!d) {
      FreeInterfaceRecords();
      return kInterfaceMissing;
    }
    InterfaceRecord* record;
    NTSTATUS status = AddInterfaceRecord(d, &record);
    if (!NT_SUCCESS(status)) {
      FreeInterfaceRecords();
      // A set that does not hold together would fail the select below.
      return status == STATUS_INSUFFICIENT_RESOURCES ? kNoInterfaceMemory : kSelectFailed;
    }
    interfaces++;
  }
  if (!interfaces) return kSelectFailed;

  InterfaceList =
      static_cast<PUSBD_INTERFACE_LIST_ENTRY>(WdmAllocate((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (!InterfaceList) {
    FreeInterfaceRecords();
    return kSelectFailed;
  }
  RtlZeroMemory(InterfaceList, (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
  ULONG n = 0;
  for (PLIST_ENTRY e = InterfaceInfos.Flink; e != &InterfaceInfos; e = e->Flink) {
    InterfaceList[n++].InterfaceDescriptor = CONTAINING_RECORD(e, InterfaceRecord, Link)->Descriptor;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, InterfaceList);
  if (!urb) {
    FreeInterfaceRecords();
    return kSelectFailed;
  }
  n = 0;
  for (PLIST_ENTRY e = InterfaceInfos.Flink; e != &InterfaceInfos; e = e->Flink, n++) {
    auto* record = CONTAINING_RECORD(e, InterfaceRecord, Link);
    PUSBD_INTERFACE_INFORMATION info = InterfaceList[n].Interface;
    ULONG pipes = info->NumberOfPipes < record->EndpointCount ? info->NumberOfPipes : record->EndpointCount;
    for (ULONG p = 0; p < pipes; p++) {
      UCHAR address = record->Endpoints[p * kEndpointLength + 2];
      for (LONG i = 0; i <= RegisteredPipes.HighestIndex; i++) {
        auto* pipe = static_cast<WdmUsbPipe*>(RegisteredPipes.GetAt((ULONG)i));
        if (pipe && pipe->EndpointAddress == address) {
          info->Pipes[p].MaximumTransferSize = pipe->MaximumTransferSize;
          break;
        }
      }
    }
  }
  NTSTATUS status = SubmitUrb(urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(urb);
    FreeInterfaceRecords();
    return kSelectFailed;
  }
  ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  n = 0;
  for (PLIST_ENTRY e = InterfaceInfos.Flink; e != &InterfaceInfos; e = e->Flink, n++) {
    auto* record = CONTAINING_RECORD(e, InterfaceRecord, Link);
    ULONG room = GET_USBD_INTERFACE_SIZE(record->EndpointCount);
    ULONG length = InterfaceList[n].Interface->Length;
    RtlCopyMemory(record->Information, InterfaceList[n].Interface, length < room ? length : room);
    record->Information->Length = (USHORT)room;
    if (record->Information->NumberOfPipes > record->EndpointCount) {
      record->Information->NumberOfPipes = record->EndpointCount;
    }
    // The list outlives the request: point it at the records.
    InterfaceList[n].Interface = record->Information;
  }
  ExFreePool(urb);

  ULONG result = kActivated;
  for (LONG i = 0; i <= RegisteredInterfaces.HighestIndex; i++) {
    auto* iface = static_cast<WdmUsbInterface*>(RegisteredInterfaces.GetAt((ULONG)i));
    if (!iface || iface->ConfigurationValue != Value) continue;
    InterfaceRecord* record = RecordFor(iface->InterfaceNumber);
    if (!record || record->Information->InterfaceNumber != iface->InterfaceNumber) {
      if (result == kActivated) result = kInterfaceAbsent;
      continue;
    }
    iface->Bind(record->Information, ConfigurationHandle);
    ULONG bound = 0;
    for (LONG k = 0; k <= RegisteredPipes.HighestIndex; k++) {
      auto* pipe = static_cast<WdmUsbPipe*>(RegisteredPipes.GetAt((ULONG)k));
      if (!pipe || pipe->IsBound()) continue;
      for (ULONG p = 0; p < record->Information->NumberOfPipes; p++) {
        if (record->Information->Pipes[p].EndpointAddress == pipe->EndpointAddress) {
          pipe->Bind(iface, p);
          bound++;
          break;
        }
      }
    }
    if (bound != record->Information->NumberOfPipes && result == kActivated) result = kPipeMismatch;
  }
  return result;
}

NTSTATUS WdmUsbLowerDevice::Deconfigure() {
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_SELECT_CONFIGURATION)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  NTSTATUS status = SubmitUrb(urb);
  WdmFree(urb);
  // The handles are dead either way once we asked: never hand them out again.
  UnbindAll();
  FreeInterfaceRecords();
  ConfigurationHandle = nullptr;
  return status;
}

void WdmUsbLowerDevice::ReleaseConfiguration() {
  UnbindAll();
  for (LONG i = 0; i <= RegisteredPipes.HighestIndex; i++) {
    if (auto* pipe = static_cast<WdmUsbPipe*>(RegisteredPipes.GetAt((ULONG)i))) pipe->Detach();
  }
  for (LONG i = 0; i <= RegisteredInterfaces.HighestIndex; i++) {
    if (auto* iface = static_cast<WdmUsbInterface*>(RegisteredInterfaces.GetAt((ULONG)i))) iface->Detach();
  }
  RegisteredPipes.Free();
  RegisteredInterfaces.Free();
  FreeInterfaceRecords();
  WdmFree(ConfigurationDescriptor);
  ConfigurationDescriptor = nullptr;
  ConfigurationLength = 0;
  ConfigurationHandle = nullptr;
}

// ---- Registration ----------------------------------------------------------------------------

NTSTATUS WdmUsbLowerDevice::RegisterInterface(WdmUsbInterface* Interface) {
  return RegisteredInterfaces.Append(Interface) < 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS WdmUsbLowerDevice::RegisterPipe(WdmUsbPipe* Pipe) {
  return RegisteredPipes.Append(Pipe) < 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

void WdmUsbLowerDevice::UnregisterInterface(WdmUsbInterface* Interface) {
  for (LONG i = 0; i <= RegisteredInterfaces.HighestIndex; i++) {
    if (RegisteredInterfaces.GetAt((ULONG)i) == Interface) RegisteredInterfaces.Data[i] = nullptr;
  }
  // Pipes bound through it would point at a dead object.
  for (LONG i = 0; i <= RegisteredPipes.HighestIndex; i++) {
    auto* pipe = static_cast<WdmUsbPipe*>(RegisteredPipes.GetAt((ULONG)i));
    if (pipe && pipe->Interface == Interface) pipe->Unbind();
  }
}

void WdmUsbLowerDevice::UnregisterPipe(WdmUsbPipe* Pipe) {
  for (LONG i = 0; i <= RegisteredPipes.HighestIndex; i++) {
    if (RegisteredPipes.GetAt((ULONG)i) == Pipe) RegisteredPipes.Data[i] = nullptr;
  }
}
