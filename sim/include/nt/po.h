// Power manager interface: power IRPs requested and passed down, power state notices.
#pragma once

#include "nt/io.h"

typedef void (*PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PVOID Context, PIO_STATUS_BLOCK IoStatus);

NT_EXTERN_C_BEGIN

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
PULONG NTAPI PoRegisterDeviceForIdleDetection(PDEVICE_OBJECT DeviceObject, ULONG ConservationIdleTime,
                                              ULONG PerformanceIdleTime, DEVICE_POWER_STATE State);

NT_EXTERN_C_END

#define PoSetDeviceBusy(IdlePointer) ((void)(*(volatile ULONG*)(IdlePointer) = 0))
