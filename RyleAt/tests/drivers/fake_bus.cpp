// A stand-in for the bus driver in the AT driver's tests: a root-enumerated bus device
// that presents one AT child PDO, and on that child the bus side of the channel binding
// (IRP_MJ_CREATE with the record, the entry points), answering as the test tells it.
// Listed as the child's upper filter it also plays the COM port above the AT driver.
#include <ntddk.h>

#include "fake_bus_control.h"

namespace {

const ULONG kTag = 'BkaF';
FakeBusControl* gControl = nullptr;

enum DeviceRole { kBus, kChild, kPort };

struct Ext {
  DeviceRole Role;
  BOOLEAN SurpriseRemoved;  // port
  PDEVICE_OBJECT Lower;  // bus device, port: the device below it
  PDEVICE_OBJECT Child;  // bus device: its AT child, null once removed
  PDEVICE_OBJECT Parent;  // child: the bus device
};

Ext* ExtOf(PDEVICE_OBJECT d) { return static_cast<Ext*>(d->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- Entry points of the binding ---------------------------------------------------------

BOOLEAN IsBoundChild(PDEVICE_OBJECT device) { return gControl && gControl->Bound && device == gControl->Child; }

void NotePassive() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) InterlockedIncrement(&gControl->EntriesAbovePassive);
}

LONG NTAPI ChannelStart(PDEVICE_OBJECT device, ULONG_PTR) {
  if (!IsBoundChild(device) || gControl->Started) return 0;
  NotePassive();
  InterlockedIncrement(&gControl->Starts);
  if (gControl->StartResult != 1) return 0;
  gControl->Started = 1;
  return 1;
}

LONG NTAPI ChannelStop(PDEVICE_OBJECT device, ULONG_PTR) {
  if (!IsBoundChild(device) || !gControl->Started) return 0;
  NotePassive();
  InterlockedIncrement(&gControl->Stops);
  gControl->Started = 0;
  // From now on every entry point refuses until the next binding.
  gControl->Bound = 0;
  return 1;
}

LONG NTAPI SetLineControl(PDEVICE_OBJECT device, ULONG_PTR code) {
  if (!IsBoundChild(device) || !gControl->Started) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&gControl->Lock, &irql);
  if (gControl->LineControlCount < 16) gControl->LineControl[gControl->LineControlCount++] = (ULONG)code;
  KeReleaseSpinLock(&gControl->Lock, irql);
  return 1;
}

LONG NTAPI SendCommand(PDEVICE_OBJECT device, PCHANNEL_BUFFER buffer) {
  if (!IsBoundChild(device) || !gControl->Started || !buffer || !buffer->Length) return 0;
  if (gControl->RefuseCommands) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&gControl->Lock, &irql);
  if (gControl->ChunkCount < FakeBusControl::kMaxChunks) gControl->ChunkLength[gControl->ChunkCount++] = buffer->Length;
  for (ULONG i = 0; i < buffer->Length && gControl->DataLength < FakeBusControl::kMaxData; i++)
    gControl->Data[gControl->DataLength++] = buffer->Data[i];
  KeReleaseSpinLock(&gControl->Lock, irql);
  // Taken: the buffer is the bus's to free.
  ExFreePool(buffer);
  return 1;
}

LONG NTAPI RefuseCoding(PDEVICE_OBJECT, PCHANNEL_LINE_CODING) { return 0; }
LONG NTAPI GetLimits(PDEVICE_OBJECT device, PCHANNEL_LIMITS limits) {
  if (!IsBoundChild(device) || !limits) return 0;
  RtlZeroMemory(limits, sizeof(*limits));
  return 1;
}

// ---- The AT child --------------------------------------------------------------------------

NTSTATUS ChildCreate(PDEVICE_OBJECT d, PIRP irp) {
  auto* record = static_cast<PCHANNEL_BINDING>(irp->AssociatedIrp.SystemBuffer);
  if (!gControl) return Complete(irp, STATUS_UNSUCCESSFUL);
  InterlockedIncrement(&gControl->Creates);
  if (gControl->Open || !record) return Complete(irp, STATUS_UNSUCCESSFUL);
  if (record->Kind != CHANNEL_KIND_AT) return Complete(irp, STATUS_INVALID_PARAMETER);
  record->BusDevice = d;
  record->ChannelStart = ChannelStart;
  record->ChannelStop = ChannelStop;
  record->SetLineCoding = RefuseCoding;
  record->SetLineControl = SetLineControl;
  record->WriteModem = nullptr;
  record->SendCommand = SendCommand;
  record->WriteObex = nullptr;
  record->ObexReceiveHold = nullptr;
  record->WriteExtra = nullptr;
  record->ExtraReceiveHold = nullptr;
  record->GetLimits = GetLimits;
  if (!NT_SUCCESS(gControl->CreateStatus)) return Complete(irp, gControl->CreateStatus);
  gControl->AtContext = record->AtContext;
  gControl->AtResponseReceived = record->AtResponseReceived;
  gControl->AtLineEvent = record->AtLineEvent;
  gControl->AtCommandSent = record->AtCommandSent;
  gControl->AtDeviceState = record->AtDeviceState;
  gControl->Started = 0;
  gControl->Bound = 1;
  gControl->Open = 1;
  return Complete(irp, STATUS_SUCCESS);
}

PWCHAR PoolText(const char* text, BOOLEAN multi) {
  ULONG n = 0;
  while (text[n]) n++;
  auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(WCHAR), kTag));
  if (!out) return nullptr;
  for (ULONG i = 0; i < n; i++) out[i] = (WCHAR)text[i];
  out[n] = 0;
  out[n + 1] = 0;
  (void)multi;
  return out;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      const char* text = nullptr;
      switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs: text = FAKE_BUS_CHILD_ID; break;
        case BusQueryInstanceID: text = "0"; break;
        default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      }
      PWCHAR p = PoolText(text, TRUE);
      if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)p);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      if (s->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      PWCHAR p = PoolText("AT child", FALSE);
      if (!p) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)p);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
      // The same child instance at every arrival, as the phone's own bus keeps it.
      c->UniqueID = 1;
      c->SilentInstall = 1;
      c->Removable = 0;
      c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i < POWER_SYSTEM_MAXIMUM; i++) c->DeviceState[i] = PowerDeviceD3;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
      if (!rel) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 1;
      rel->Objects[0] = d;
      ObReferenceObject(d);
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)rel);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      if (gControl) {
        if (gControl->Bound) InterlockedIncrement(&gControl->BoundAtRemoval);
        gControl->Bound = 0;
        gControl->Started = 0;
        gControl->Open = 0;
        gControl->Child = nullptr;
      }
      Ext* parent = ExtOf(ExtOf(d)->Parent);
      if (parent->Child == d) parent->Child = nullptr;
      Complete(irp, STATUS_SUCCESS);
      IoDeleteDevice(d);
      return STATUS_SUCCESS;
    }
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS ChildPower(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (s->MinorFunction == IRP_MN_SET_POWER) {
    if (s->Parameters.Power.Type == DevicePowerState) PoSetPowerState(d, DevicePowerState, s->Parameters.Power.State);
    status = STATUS_SUCCESS;
  } else if (s->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
  } else if (s->MinorFunction == IRP_MN_WAIT_WAKE) {
    status = STATUS_NOT_SUPPORTED;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- The bus device --------------------------------------------------------------------------

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CreateChild(PDEVICE_OBJECT fdo) {
  PDEVICE_OBJECT child;
  NTSTATUS status =
      IoCreateDevice(fdo->DriverObject, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                     &child);
  if (!NT_SUCCESS(status)) return status;
  Ext* x = ExtOf(child);
  x->Role = kChild;
  x->SurpriseRemoved = FALSE;
  x->Lower = nullptr;
  x->Child = nullptr;
  x->Parent = fdo;
  child->Flags |= DO_POWER_PAGABLE;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  ExtOf(fdo)->Child = child;
  if (gControl) gControl->Child = child;
  return STATUS_SUCCESS;
}

NTSTATUS BusPnp(PDEVICE_OBJECT d, PIRP irp) {
  Ext* x = ExtOf(d);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
      IoCallDriver(x->Lower, irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      NTSTATUS status = irp->IoStatus.Status;
      if (NT_SUCCESS(status) && !x->Child) status = CreateChild(d);
      Complete(irp, status, 0);
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(x->Lower, BusRelations);
      return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
      if (!rel) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 0;
      if (x->Child) {
        rel->Objects[rel->Count++] = x->Child;
        ObReferenceObject(x->Child);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = (ULONG_PTR)rel;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(x->Lower, irp);
      IoDetachDevice(x->Lower);
      IoDeleteDevice(d);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(x->Lower, irp);
}

// ---- The port above the AT driver ----------------------------------------------------------

NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ExtOf(d)->Lower, irp);
}

NTSTATUS PortPnp(PDEVICE_OBJECT d, PIRP irp) {
  Ext* x = ExtOf(d);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
      x->SurpriseRemoved = TRUE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = x->Lower;
      NTSTATUS status = PassDown(d, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(d);
      return status;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return PassDown(d, irp);
}

// ---- Dispatch by role ------------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT d, PIRP irp) {
  switch (ExtOf(d)->Role) {
    case kChild: return ChildPnp(d, irp);
    case kPort: return PortPnp(d, irp);
    default: return BusPnp(d, irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT d, PIRP irp) {
  if (ExtOf(d)->Role == kChild) return ChildPower(d, irp);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ExtOf(d)->Lower, irp);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT d, PIRP irp) {
  switch (ExtOf(d)->Role) {
    case kChild: return ChildCreate(d, irp);
    // The client's own record goes down with its open, as the COM port sends it.
    case kPort: return PassDown(d, irp);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT d, PIRP irp) {
  Ext* x = ExtOf(d);
  // A surprise-removed port finishes its close itself, without the driver below.
  if (x->Role == kPort) return x->SurpriseRemoved ? Complete(irp, STATUS_SUCCESS) : PassDown(d, irp);
  if (x->Role == kChild && gControl) {
    InterlockedIncrement(&gControl->Closes);
    // Closing ends the open only; the channel stays bound until ChannelStop.
    gControl->Open = 0;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT d, PIRP irp) {
  if (ExtOf(d)->Role == kPort && !ExtOf(d)->SurpriseRemoved) return PassDown(d, irp);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT d, PIRP irp) {
  if (ExtOf(d)->Role == kChild) return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  return PassDown(d, irp);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext* x = ExtOf(fdo);
  // Added for the child presented here: the port above the AT driver.
  x->Role = gControl && pdo == gControl->Child ? kPort : kBus;
  x->SurpriseRemoved = FALSE;
  x->Child = nullptr;
  x->Parent = nullptr;
  x->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!x->Lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) { gControl = nullptr; }

void ReadControl(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Control");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONGLONG)];
  ULONG length = 0;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length))) {
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONGLONG address = 0;
    RtlCopyMemory(&address, info->Data, info->DataLength < sizeof(address) ? info->DataLength : sizeof(address));
    gControl = reinterpret_cast<FakeBusControl*>((ULONG_PTR)address);
  }
  ZwClose(key);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  ReadControl(registryPath);
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
