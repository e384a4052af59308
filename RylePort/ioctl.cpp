// Serial control requests of the port: timeouts and purge with their validation; any
// other code is refused. Control requests need an open port.
#include "port.h"

NTSTATUS NTAPI PortDispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  if (!ext->IsOpen) return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_DEVICE_REQUEST);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      if (in < sizeof(SERIAL_TIMEOUTS)) return PortCompleteAndRelease(ext, Irp, STATUS_BUFFER_TOO_SMALL);
      auto* t = static_cast<PSERIAL_TIMEOUTS>(buffer);
      if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == MAXULONG &&
          t->ReadTotalTimeoutConstant == MAXULONG)
        return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_PARAMETER);
      KeAcquireSpinLock(&ext->ControlLock, &irql);
      ext->Timeouts = *t;
      KeReleaseSpinLock(&ext->ControlLock, irql);
      return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS);
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: {
      if (out < sizeof(SERIAL_TIMEOUTS)) return PortCompleteAndRelease(ext, Irp, STATUS_BUFFER_TOO_SMALL);
      KeAcquireSpinLock(&ext->ControlLock, &irql);
      *static_cast<PSERIAL_TIMEOUTS>(buffer) = ext->Timeouts;
      KeReleaseSpinLock(&ext->ControlLock, irql);
      return PortCompleteAndRelease(ext, Irp, STATUS_SUCCESS, sizeof(SERIAL_TIMEOUTS));
    }
    case IOCTL_SERIAL_PURGE: {
      if (in < sizeof(ULONG)) return PortCompleteAndRelease(ext, Irp, STATUS_BUFFER_TOO_SMALL);
      ULONG mask = *static_cast<PULONG>(buffer);
      const ULONG all = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
      if (mask == 0 || (mask & ~all)) return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_PARAMETER);
      return PortCompleteAndRelease(ext, Irp, PortPurge(ext, mask));
    }
    default:
      return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_PARAMETER);
  }
}

NTSTATUS NTAPI PortDispatchInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (status == STATUS_PENDING) return status;
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  return PortCompleteAndRelease(ext, Irp, STATUS_INVALID_PARAMETER);
}
