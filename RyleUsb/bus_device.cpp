// The bus device: construction in the bus-FDO role above the phone's PDO, and the Plug
// and Play, power and WMI requests it passes to the USB stack below.
#include "bus_device.h"

UsbBusDevice::UsbBusDevice(const WdmDeviceCreation& creation, PDEVICE_OBJECT Pdo, ULONG UnitNumber)
    : WdmDevice(creation),
      IsBusFdo(TRUE),
      PhysicalDeviceObject(Pdo),
      LowerDevice(nullptr),
      Unit(UnitNumber),
      DevicePowerState(PowerDeviceUnspecified),
      BulkINRetryLimit(kDefaultBulkInRetryLimit),
      UsbMode(0),
      UpMaxKeepDataSize(kDefaultKeepDataSize),
      DownMaxKeepDataSize(kDefaultKeepDataSize),
      ChildTemplateCount(0) {
  InitializeListHead(&ChildTemplates);
  for (ULONG i = 0; i < kSlots; i++) {
    DeviceInfoPath[i] = nullptr;
    Slot[i].SlotPresent = FALSE;
    Slot[i].FunctionId = 0;
  }
  LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, Pdo);
  if (!LowerDevice) ConstructionStatus = STATUS_NO_SUCH_DEVICE;
}

UsbBusDevice::~UsbBusDevice() {
  FreeChildTemplates();
  if (LowerDevice) IoDetachDevice(LowerDevice);
  LowerDevice = nullptr;
}

namespace {

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for the lower drivers to finish with it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return Irp->IoStatus.Status;
}

}  // namespace

NTSTATUS UsbBusDevice::Pnp(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(LowerDevice, Irp);
      if (NT_SUCCESS(status)) status = ReadParameters();
      return CompleteIrp(Irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(LowerDevice, Irp);
      Destroy();
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS UsbBusDevice::Power(PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(LowerDevice, Irp);
}

NTSTATUS UsbBusDevice::SystemControl(PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(LowerDevice, Irp);
}
