// Open and close of a port handle: the channel binding passed down with the open, the
// receive buffer, and the teardown that unbinds, stops the transmit thread and puts the
// port back to sleep.
#include "port.h"

namespace {

void FreeRxBuffer(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->BufferLock, &irql);
  PUCHAR buffer = Ext->RxBuffer;
  Ext->RxBuffer = nullptr;
  Ext->RxBufferSize = Ext->RxCount = Ext->RxHead = 0;
  KeReleaseSpinLock(&Ext->BufferLock, irql);
  if (buffer) ExFreePoolWithTag(buffer, PORT_POOL_TAG);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void DropOpen(PPORT_EXTENSION Ext) { InterlockedDecrement(&Ext->OpenCount); }

// Tears down what an open built; the close passes down first so the control driver stops
// its channel before the thread and the buffer go.
void Teardown(PPORT_EXTENSION Ext, PIRP CloseIrp) {
  PortSetDtr(Ext, FALSE);
  PortSetRts(Ext, FALSE);
  if (CloseIrp && Ext->LowerDevice) {
    // The control driver gets the application's close and stops its channel; the close
    // comes back to us to finish the teardown. After the removal there is nothing below
    // to tell: the control driver stopped its channel at its own removal.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(CloseIrp);
    IoSetCompletionRoutine(CloseIrp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext->LowerDevice, CloseIrp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  // No callback can come in any more: the thread goes, then the state it used.
  PortStopTransmitThread(Ext);
  KeWaitForSingleObject(&Ext->CloseMutex, Executive, KernelMode, FALSE, nullptr);
  PortMarkClosed(Ext);
  Ext->TxHolding = Ext->RxHolding = 0;
  FreeRxBuffer(Ext);
  KeReleaseMutex(&Ext->CloseMutex, FALSE);
  PortRequestDevicePower(Ext, PowerDeviceD3);
}

}  // namespace

void PortMarkClosed(PPORT_EXTENSION Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  Ext->IsOpen = FALSE;
  Ext->LineControlShadow &= ~LCR_BREAK;
  Ext->TxHolding &= ~TX_HOLD_BREAK;
  RtlZeroMemory(&Ext->Binding, sizeof Ext->Binding);
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}

NTSTATUS NTAPI PortDispatchCreate(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  if (ext->PnpState != PortStarted) {
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeWaitForSingleObject(&ext->OpenMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) {
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return status;
  }
  if (!NT_SUCCESS(status)) {
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return PortCompleteAndRelease(ext, Irp, status);
  }
  if (InterlockedIncrement(&ext->OpenCount) != 1) {
    DropOpen(ext);
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return PortCompleteAndRelease(ext, Irp, STATUS_ACCESS_DENIED);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
    DropOpen(ext);
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return PortCompleteAndRelease(ext, Irp, STATUS_NOT_A_DIRECTORY);
  }
  PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, PORT_RX_BUFFER_SIZE, PORT_POOL_TAG));
  if (!buffer) {
    DropOpen(ext);
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return PortCompleteAndRelease(ext, Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  status = PortRequestDevicePower(ext, PowerDeviceD0);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(buffer, PORT_POOL_TAG);
    DropOpen(ext);
    KeReleaseMutex(&ext->OpenMutex, FALSE);
    return PortCompleteAndRelease(ext, Irp, status);
  }

  KIRQL irql;
  KeAcquireSpinLock(&ext->BufferLock, &irql);
  ext->RxBuffer = buffer;
  ext->RxBufferSize = PORT_RX_BUFFER_SIZE;
  ext->RxHead = ext->RxCount = 0;
  ext->XonLimit = PORT_RX_BUFFER_SIZE / 2;
  ext->XoffLimit = PORT_RX_BUFFER_SIZE / 3;
  ext->Mark80 = 3 * (PORT_RX_BUFFER_SIZE / 4) + PORT_RX_BUFFER_SIZE / 16;
  ext->DirectBuffer = nullptr;
  KeReleaseSpinLock(&ext->BufferLock, irql);
  RtlZeroMemory(&ext->Stats, sizeof ext->Stats);

  KeAcquireSpinLock(&ext->ControlLock, &irql);
  ext->LineControlShadow &= ~(LCR_BREAK | LCR_DLAB);
  ext->ModemControlShadow |= MCR_OUT2;
  ext->ErrorWord = 0;
  ext->TxHolding = ext->RxHolding = 0;
  ext->IsOpen = TRUE;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  KeReleaseMutex(&ext->OpenMutex, FALSE);

  status = PortStartTransmitThread(ext);
  if (!NT_SUCCESS(status)) {
    PortMarkClosed(ext);
    FreeRxBuffer(ext);
    DropOpen(ext);
    return PortCompleteAndRelease(ext, Irp, status);
  }

  // The control driver below fills the record in (kind, context, entries) while it
  // binds; the record lives in our extension for as long as the handle is open.
  KeAcquireSpinLock(&ext->ControlLock, &irql);
  RtlZeroMemory(&ext->Binding, sizeof ext->Binding);
  ext->Binding.ClientContext = ext;
  ext->Binding.ClientEvent = PortClientEvent;
  ext->Binding.ClientReceive = PortClientReceive;
  KeReleaseSpinLock(&ext->ControlLock, irql);
  PVOID original = Irp->AssociatedIrp.SystemBuffer;
  Irp->AssociatedIrp.SystemBuffer = &ext->Binding;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(ext->LowerDevice, Irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  status = Irp->IoStatus.Status;
  Irp->AssociatedIrp.SystemBuffer = original;

  if (!NT_SUCCESS(status)) {
    PortStopTransmitThread(ext);
    PortMarkClosed(ext);
    FreeRxBuffer(ext);
    PortRequestDevicePower(ext, PowerDeviceD3);
    DropOpen(ext);
    return PortCompleteAndRelease(ext, Irp, status);
  }
  PortSetDtr(ext, TRUE);
  PortSetRts(ext, TRUE);
  return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI PortDispatchClose(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (status == STATUS_DELETE_PENDING) {
    // After a surprise removal the control driver below still holds its binding: it
    // gets the close, so its channel stops before the stack goes.
    if (ext->OpenCount > 0) {
      Teardown(ext, Irp);
      DropOpen(ext);
    }
    return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
  }
  if (!NT_SUCCESS(status)) {
    DropOpen(ext);
    return PortCompleteAndRelease(ext, Irp, status);
  }
  if (ext->OpenCount < 1) return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_DEVICE_REQUEST);
  Teardown(ext, Irp);
  DropOpen(ext);
  return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
}

// Asks the control driver below to change one control line; the shadow follows only when
// it accepted. DTR and RTS differ only in their shadow bit and their two codes.
static void SetControlLine(PPORT_EXTENSION Ext, UCHAR Bit, ULONG OnCode, ULONG OffCode, BOOLEAN On) {
  PCHANNEL_CLIENT_LINE_CONTROL control = nullptr;
  PVOID context = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  BOOLEAN isOn = (Ext->ModemControlShadow & Bit) != 0;
  if (isOn != On) {
    switch (Ext->Binding.Kind) {
      case CHANNEL_KIND_MODEM: control = Ext->Binding.ModemClientLineControl; context = Ext->Binding.ModemContext; break;
      case CHANNEL_KIND_AT: control = Ext->Binding.AtClientLineControl; context = Ext->Binding.AtContext; break;
      case CHANNEL_KIND_OBEX: control = Ext->Binding.ObexClientLineControl; context = Ext->Binding.ObexContext; break;
    }
  }
  KeReleaseSpinLock(&Ext->ControlLock, irql);
  if (!control || control(context, On ? OnCode : OffCode) != 1) return;
  KeAcquireSpinLock(&Ext->ControlLock, &irql);
  if (On)
    Ext->ModemControlShadow |= Bit;
  else
    Ext->ModemControlShadow &= (UCHAR)~Bit;
  KeReleaseSpinLock(&Ext->ControlLock, irql);
}

void PortSetDtr(PPORT_EXTENSION Ext, BOOLEAN On) { SetControlLine(Ext, MCR_DTR, CHANNEL_DTR_ON, CHANNEL_DTR_OFF, On); }

void PortSetRts(PPORT_EXTENSION Ext, BOOLEAN On) { SetControlLine(Ext, MCR_RTS, CHANNEL_RTS_ON, CHANNEL_RTS_OFF, On); }
