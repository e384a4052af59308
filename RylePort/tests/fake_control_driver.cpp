// A fake control driver for the port's tests: the function driver of a root-enumerated
// device under Q93Ksw. It serves the binding the way the AT control driver does (kind
// 0x02, its context and ClientWrite/ClientLineControl), raises CTS on open, echoes or
// sinks written bytes, can refuse writes or the open or hold a write, and unbinds at close.
#include "fake_control.h"

namespace {

FakeControl* gControl = nullptr;

struct FakeDevice {
  PDEVICE_OBJECT Lower;
  PCHANNEL_BINDING Binding;
};

LONG NTAPI FakeWrite(PVOID Context, PVOID Data, ULONG Length) {
  auto* device = static_cast<PDEVICE_OBJECT>(Context);
  auto* fake = static_cast<FakeDevice*>(device->DeviceExtension);
  InterlockedIncrement(&gControl->WriteCalls);
  if (!fake->Binding || !Data) return 0;
  if (gControl->WriteRelease) {
    // A channel that is slow to take the bytes (the port calls at PASSIVE_LEVEL).
    KeSetEvent(gControl->WriteEntered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(gControl->WriteRelease, Executive, KernelMode, FALSE, nullptr);
  }
  LONG refuse = gControl->RefuseWrites;
  if (refuse < 0) return 0;
  if (refuse > 0) {
    InterlockedDecrement(&gControl->RefuseWrites);
    return 0;
  }
  if (Length > gControl->LargestChunk) gControl->LargestChunk = Length;
  if (gControl->Sink) {
    ULONG at = (ULONG)gControl->SinkLength;
    ULONG n = at + Length <= gControl->SinkCapacity ? Length : gControl->SinkCapacity - at;
    RtlCopyMemory(gControl->Sink + at, Data, n);
    InterlockedExchangeAdd(&gControl->SinkLength, (LONG)n);
  }
  if (gControl->Echo) {
    auto* buffer = static_cast<PCHANNEL_BUFFER>(
        ExAllocatePoolWithTag(NonPagedPool, CHANNEL_BUFFER_HEADER_SIZE + Length, 'ekaF'));
    if (buffer) {
      buffer->Length = Length;
      buffer->Offset = 0;
      RtlCopyMemory(buffer->Data, Data, Length);
      ULONG taken = 0;
      fake->Binding->ClientReceive(fake->Binding->ClientContext, buffer, &taken);
      ExFreePoolWithTag(buffer, 'ekaF');
    }
  }
  return 1;
}

LONG NTAPI FakeLineControl(PVOID Context, ULONG Code) {
  auto* device = static_cast<PDEVICE_OBJECT>(Context);
  if (!static_cast<FakeDevice*>(device->DeviceExtension)->Binding) return 0;
  InterlockedIncrement(&gControl->LineControls);
  gControl->LastLineControl = Code;
  return 1;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  auto* fake = static_cast<FakeDevice*>(Device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      auto* binding = static_cast<PCHANNEL_BINDING>(Irp->AssociatedIrp.SystemBuffer);
      if (!binding || fake->Binding) return Complete(Irp, STATUS_UNSUCCESSFUL);
      if (!NT_SUCCESS(gControl->OpenStatus)) return Complete(Irp, gControl->OpenStatus);
      binding->Kind = CHANNEL_KIND_AT;
      binding->AtContext = Device;
      binding->AtClientWrite = FakeWrite;
      binding->AtClientLineControl = FakeLineControl;
      fake->Binding = binding;
      gControl->Binding = binding;
      InterlockedIncrement(&gControl->Opens);
      if (gControl->RaiseCtsOnOpen) binding->ClientEvent(binding->ClientContext, CHANNEL_EVENT_CTS_ON);
      return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE:
      // Stops the channel: nothing calls into the port after this.
      fake->Binding = nullptr;
      gControl->Binding = nullptr;
      InterlockedIncrement(&gControl->Closes);
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(fake->Lower, Irp);
    case IRP_MJ_PNP: {
      UCHAR minor = stack->MinorFunction;
      if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
          minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE ||
          minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE)
        Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(fake->Lower, Irp);
      if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(fake->Lower);
        IoDeleteDevice(Device);
      }
      return status;
    }
    case IRP_MJ_SYSTEM_CONTROL:
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(fake->Lower, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(FakeDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fake = static_cast<FakeDevice*>(device->DeviceExtension);
  fake->Binding = nullptr;
  fake->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
  ULONGLONG control = 0;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, RegistryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return STATUS_UNSUCCESSFUL;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Control");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONGLONG)];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG got;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &got)) &&
      info->DataLength == sizeof(ULONGLONG))
    RtlCopyMemory(&control, info->Data, sizeof control);
  ZwClose(key);
  if (!control) return STATUS_UNSUCCESSFUL;
  gControl = reinterpret_cast<FakeControl*>((ULONG_PTR)control);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = Dispatch;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
