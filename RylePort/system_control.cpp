// System-control (WMI) requests of the port: passed down to the stack below until the
// port publishes its own data blocks.
#include "port.h"

NTSTATUS NTAPI PortDispatchSystemControl(PDEVICE_OBJECT Device, PIRP Irp) {
  PPORT_EXTENSION ext = PortFromDevice(Device);
  NTSTATUS status = PortAdmit(ext, Irp);
  if (!NT_SUCCESS(status)) return PortCompleteAndRelease(ext, Irp, status);
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->LowerDevice, Irp);
  PortRelease(ext);
  return status;
}
