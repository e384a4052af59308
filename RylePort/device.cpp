// The port's device object and its plug-and-play life cycle: add device, start, stop,
// removal, the admission of requests around them and the pending-request count that
// stop and removal drain.
#include "port.h"

namespace {

LONG gDeviceCounter = -1;

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower stack; the request is ours again after.
NTSTATUS ForwardAndWait(PPORT_EXTENSION Ext, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Ext->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(PPORT_EXTENSION Ext, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Ext->LowerDevice, Irp);
}

void NTAPI CancelStalled(PDEVICE_OBJECT, PIRP Irp) {
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Takes every held request off the list (cancel routines cleared) into `out`.
void TakeStalled(PPORT_EXTENSION Ext, PLIST_ENTRY out) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PortCancelQueue(&Ext->StalledList, out);
  IoReleaseCancelSpinLock(irql);
}

// Drops the count of the PnP request and the initial one, waits for the requests still
// in the driver, and for stop and surprise removal takes the initial count back.
void Drain(PPORT_EXTENSION Ext, BOOLEAN keepInitial) {
  InterlockedDecrement(&Ext->PendingCount);
  if (InterlockedDecrement(&Ext->PendingCount) != 0)
    KeWaitForSingleObject(&Ext->PendingIdle, Executive, KernelMode, FALSE, nullptr);
  if (keepInitial) {
    KeClearEvent(&Ext->PendingIdle);
    InterlockedIncrement(&Ext->PendingCount);
  }
}

void SetAccept(PPORT_EXTENSION Ext, ULONG set, ULONG clear, LONG pnpState = -1) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->FlagsLock, &irql);
  Ext->AcceptFlags = (Ext->AcceptFlags & ~clear) | set;
  if (pnpState >= 0) Ext->PnpState = (ULONG)pnpState;
  KeReleaseSpinLock(&Ext->FlagsLock, irql);
}

void ReleaseResources(PPORT_EXTENSION Ext) {
  PortReleaseTimers(Ext);
  KIRQL irql;
  KeAcquireSpinLock(&PortAllPortsLock, &irql);
  if (Ext->Linked) {
    RemoveEntryList(&Ext->AllPortsLink);
    Ext->Linked = FALSE;
  }
  KeReleaseSpinLock(&PortAllPortsLock, irql);
}

void InitSerial(PPORT_EXTENSION Ext) {
  Ext->TxFifoAmount = 1;
  Ext->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  Ext->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  Ext->HandFlow.XonLimit = PORT_RX_BUFFER_SIZE / 2;
  Ext->HandFlow.XoffLimit = PORT_RX_BUFFER_SIZE / 3;
  Ext->LineControl = LCR_8_DATA;  // 8 data bits, 1 stop bit, no parity
  Ext->CurrentBaud = 115200;
  RtlZeroMemory(&Ext->Timeouts, sizeof Ext->Timeouts);
  Ext->ModemStatusShadow = MSR_CTS | MSR_DSR;
  Ext->LineStatusShadow = LSR_DATA_READY;
  Ext->ModemControlShadow = 0;
  KIRQL irql;
  KeAcquireSpinLock(&PortAllPortsLock, &irql);
  if (!Ext->Linked) {
    InsertTailList(&PortAllPorts, &Ext->AllPortsLink);
    Ext->Linked = TRUE;
  }
  KeReleaseSpinLock(&PortAllPortsLock, irql);
  PortMarkClosed(Ext);
  PortSetDtr(Ext, FALSE);
  PortSetRts(Ext, FALSE);
}

void ReplayStalled(PPORT_EXTENSION Ext) {
  LIST_ENTRY held;
  InitializeListHead(&held);
  TakeStalled(Ext, &held);
  while (!IsListEmpty(&held)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&held), IRP, Tail.Overlay.ListEntry);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    Ext->DriverObject->MajorFunction[major](Ext->DeviceObject, irp);
  }
}

NTSTATUS Start(PPORT_EXTENSION Ext, PIRP Irp) {
  Ext->PowerState = PowerDeviceD0;
  NTSTATUS status = ForwardAndWait(Ext, Irp);
  if (NT_SUCCESS(status)) {
    if (Ext->DeviceFlags & DeviceStoppedOnce) {
      Ext->DeviceFlags &= ~DeviceStoppedOnce;
      Ext->PnpState = PortRestarting;
    } else {
      HANDLE key;
      if (NT_SUCCESS(IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"SerialRelinquishPowerPolicy");
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
        ULONG got;
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &got)) &&
            info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
          Ext->OwnsPowerPolicy = *reinterpret_cast<ULONG*>(info->Data) == 0;
        ZwClose(key);
      }
    }
    InitSerial(Ext);
    if (Ext->PnpState == PortAdded) PortDoExternalNaming(Ext);
    BOOLEAN restart = Ext->PnpState == PortRestarting;
    SetAccept(Ext, 0, 0xFFFFFFFF, PortStarted);
    Ext->DeviceFlags |= DeviceStarted;
    if (restart) ReplayStalled(Ext);
  }
  // A started port sleeps until it is opened.
  PortRequestDevicePower(Ext, PowerDeviceD3);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS QueryCapabilities(PPORT_EXTENSION Ext, PIRP Irp) {
  NTSTATUS status = ForwardAndWait(Ext, Irp);
  if (NT_SUCCESS(status)) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) Ext->DeviceStateMap[s] = caps->DeviceState[s];
    Ext->DeviceStateMap[PowerSystemUnspecified] = PowerDeviceUnspecified;
    Ext->DeviceStateMap[PowerSystemWorking] = PowerDeviceD0;
    Ext->SystemWake = caps->SystemWake;
    Ext->DeviceWake = caps->DeviceWake;
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

ULONG ReadMultiport(PPORT_EXTENSION Ext) {
  ULONG value = 0;
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"MultiportDevice");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  ULONG got;
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &got)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
    value = *reinterpret_cast<ULONG*>(info->Data);
  ZwClose(key);
  return value;
}

// Adds the generic serial-port identity to the hardware ids of the request.
void AppendHardwareId(PPORT_EXTENSION Ext, PIRP Irp) {
  PCWSTR id = ReadMultiport(Ext) ? L"*PNP0502" : L"*PNP0501";
  const ULONG idChars = 9;  // with its terminator
  auto* old = reinterpret_cast<PWSTR>(Irp->IoStatus.Information);
  ULONG oldChars = 0;
  if (old && NT_SUCCESS(Irp->IoStatus.Status)) {
    while (old[oldChars]) {
      while (old[oldChars]) oldChars++;
      oldChars++;
    }
  } else {
    old = nullptr;
  }
  ULONG bytes = (oldChars + idChars + 1) * sizeof(WCHAR);
  auto* list = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, PORT_POOL_TAG));
  if (!list) return;
  if (old) RtlCopyMemory(list, old, oldChars * sizeof(WCHAR));
  RtlCopyMemory(list + oldChars, id, idChars * sizeof(WCHAR));
  list[oldChars + idChars] = 0;
  if (old) ExFreePool(old);
  Irp->IoStatus.Information = (ULONG_PTR)list;
  Irp->IoStatus.Status = STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PortAdmit(PPORT_EXTENSION Ext, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN pnp = stack->MajorFunction == IRP_MJ_PNP;
  BOOLEAN power = stack->MajorFunction == IRP_MJ_POWER;
  InterlockedIncrement(&Ext->PendingCount);
  KIRQL irql;
  KeAcquireSpinLock(&Ext->FlagsLock, &irql);
  ULONG flags = Ext->AcceptFlags;
  KeReleaseSpinLock(&Ext->FlagsLock, irql);
  if (!flags) return STATUS_SUCCESS;
  if (flags & (AcceptRemoving | AcceptSurpriseRemoving)) return pnp ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
  if ((flags & AcceptStopping) && !pnp && !power) {
    // A held request does not keep its count: the stop that follows must not wait for
    // a request that only the restart will run.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (Irp->Cancel) {
      IoReleaseCancelSpinLock(cancelIrql);
      return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&Ext->StalledList, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelStalled);
    IoReleaseCancelSpinLock(cancelIrql);
    PortRelease(Ext);
    return STATUS_PENDING;
  }
  return STATUS_SUCCESS;
}

void PortRelease(PPORT_EXTENSION Ext) {
  if (InterlockedDecrement(&Ext->PendingCount) == 0) KeSetEvent(&Ext->PendingIdle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PortCompleteAndRelease(PPORT_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  PortRelease(Ext);
  return Status;
}

NTSTATUS NTAPI PortAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  if (!Pdo) return STATUS_NO_MORE_ENTRIES;
  // "\Device\Q93Ksw" and a decimal unit that never goes back.
  WCHAR nameBuffer[32];
  UNICODE_STRING name = {0, sizeof nameBuffer, nameBuffer};
  RtlAppendUnicodeToString(&name, L"\\Device\\Q93Ksw");
  WCHAR digits[12];
  UNICODE_STRING unit = {0, sizeof digits, digits};
  RtlIntegerToUnicodeString((ULONG)InterlockedIncrement(&gDeviceCounter), 10, &unit);
  RtlAppendUnicodeStringToString(&name, &unit);

  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  PPORT_EXTENSION ext = PortFromDevice(device);
  RtlZeroMemory(ext, sizeof *ext);
  ext->DeviceObject = device;
  ext->DriverObject = DriverObject;
  ext->PendingCount = 1;
  ext->PowerState = PowerDeviceD0;
  ext->OwnsPowerPolicy = TRUE;
  ext->TxFifoAmount = PortDefaults.TxFIFO;
  KeInitializeSpinLock(&ext->FlagsLock);
  KeInitializeSpinLock(&ext->ControlLock);
  KeInitializeSpinLock(&ext->BufferLock);
  InitializeListHead(&ext->StalledList);
  InitializeListHead(&ext->AllPortsLink);
  KeInitializeEvent(&ext->PendingIdle, NotificationEvent, FALSE);
  KeInitializeMutex(&ext->OpenMutex, 0);
  KeInitializeMutex(&ext->CloseMutex, 0);
  PortInitQueues(ext);

  ext->DeviceName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, name.Length + sizeof(WCHAR), PORT_POOL_TAG));
  ext->SymbolicLinkName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 256, PORT_POOL_TAG));
  if (!ext->DeviceName.Buffer || !ext->SymbolicLinkName.Buffer) {
    PortLogError(device, (NTSTATUS)0xC0060008L, 19, STATUS_INSUFFICIENT_RESOURCES, nullptr);
    if (ext->DeviceName.Buffer) ExFreePoolWithTag(ext->DeviceName.Buffer, PORT_POOL_TAG);
    if (ext->SymbolicLinkName.Buffer) ExFreePoolWithTag(ext->SymbolicLinkName.Buffer, PORT_POOL_TAG);
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ext->DeviceName.MaximumLength = (USHORT)(name.Length + sizeof(WCHAR));
  RtlCopyUnicodeString(&ext->DeviceName, &name);
  ext->DeviceName.Buffer[ext->DeviceName.Length / sizeof(WCHAR)] = 0;
  ext->SymbolicLinkName.MaximumLength = 256;
  ext->SymbolicLinkName.Length = 0;

  ext->LowerDevice = IoAttachDeviceToDeviceStack(device, Pdo);
  if (!ext->LowerDevice) {
    ExFreePoolWithTag(ext->DeviceName.Buffer, PORT_POOL_TAG);
    ExFreePoolWithTag(ext->SymbolicLinkName.Buffer, PORT_POOL_TAG);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  ext->Pdo = Pdo;
  device->StackSize = (CCHAR)(ext->LowerDevice->StackSize + 1);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  ext->PnpState = PortAdded;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PortDispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = Start(ext, Irp);
      PortRelease(ext);
      return status;

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE: {
      BOOLEAN stop = stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE;
      if (stop && ext->PnpState != PortStarted && ext->PnpState != PortQueryRemove) break;
      KeWaitForSingleObject(&ext->OpenMutex, Executive, KernelMode, FALSE, nullptr);
      if (ext->OpenCount) {
        KeReleaseMutex(&ext->OpenMutex, FALSE);
        return PortCompleteAndRelease(ext, Irp, STATUS_DEVICE_BUSY);
      }
      if (stop)
        SetAccept(ext, AcceptStopping, AcceptRemoving, PortQueryStop);
      else
        SetAccept(ext, AcceptRemoving, 0, PortQueryRemove);
      KeReleaseMutex(&ext->OpenMutex, FALSE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      SetAccept(ext, 0, AcceptRemoving, PortStarted);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      if (ext->PnpState == PortQueryStop) {
        SetAccept(ext, 0, AcceptStopping, PortStarted);
        ReplayStalled(ext);
      }
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;

    case IRP_MN_STOP_DEVICE: {
      ext->DeviceFlags |= DeviceStoppedOnce;
      SetAccept(ext, AcceptStopped, AcceptStopping, PortStopped);
      Drain(ext, TRUE);
      PortStopTransmitThread(ext);
      if (ext->DeviceFlags & DeviceStarted) ReleaseResources(ext);
      ext->DeviceFlags &= ~DeviceStarted;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    }

    case IRP_MN_SURPRISE_REMOVAL: {
      SetAccept(ext, AcceptSurpriseRemoving, 0);
      LIST_ENTRY held;
      InitializeListHead(&held);
      TakeStalled(ext, &held);
      PortCompleteList(ext, &held, STATUS_DELETE_PENDING);
      PortAbortAll(ext);
      Drain(ext, TRUE);
      PortStopTransmitThread(ext);
      ReleaseResources(ext);
      PortUndoExternalNaming(ext, TRUE);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);
    }

    case IRP_MN_REMOVE_DEVICE: {
      SetAccept(ext, AcceptRemoving, 0);
      // Held requests go first: the drain below would otherwise wait for them for ever.
      LIST_ENTRY held;
      InitializeListHead(&held);
      TakeStalled(ext, &held);
      PortCompleteList(ext, &held, STATUS_DELETE_PENDING);
      PortAbortAll(ext);
      Drain(ext, FALSE);
      PortStopTransmitThread(ext);
      ReleaseResources(ext);
      PortUndoExternalNaming(ext, TRUE);
      // The lower device is reached through the extension, so pass the removal down
      // before the extension goes with the device object.
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(ext->LowerDevice, Irp);
      IoDetachDevice(ext->LowerDevice);
      // A close still to come (a handle outliving the removal) must not reach below.
      ext->LowerDevice = nullptr;
      if (ext->DeviceName.Buffer) ExFreePoolWithTag(ext->DeviceName.Buffer, PORT_POOL_TAG);
      if (ext->SymbolicLinkName.Buffer) ExFreePoolWithTag(ext->SymbolicLinkName.Buffer, PORT_POOL_TAG);
      IoDeleteDevice(Device);
      return status;
    }

    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(ext, Irp);
      PortRelease(ext);
      return status;

    case IRP_MN_QUERY_ID:
      if (stack->Parameters.QueryId.IdType == BusQueryHardwareIDs) {
        status = ForwardAndWait(ext, Irp);
        AppendHardwareId(ext, Irp);
        status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        PortRelease(ext);
        return status;
      }
      break;

    default:
      break;
  }
  status = PassDown(ext, Irp);
  PortRelease(ext);
  return status;
}
