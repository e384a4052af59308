// The device below a functional device object: attaching to the stack, passing IRPs down
// with the owner's I/O count released, and calling down and waiting for the answer.
#pragma once

#include "wdm_base.h"

class WdmPnpDevice;

class WdmLowerDevice {
 public:
  WdmLowerDevice();
  virtual ~WdmLowerDevice();
  WdmLowerDevice(const WdmLowerDevice&) = delete;
  WdmLowerDevice& operator=(const WdmLowerDevice&) = delete;

  // IoAttachDeviceToDeviceStack(owner's device object, Pdo); Status and the return value
  // are STATUS_NO_SUCH_DEVICE when the stack refuses the attach.
  NTSTATUS Attach(WdmPnpDevice* Owner, PDEVICE_OBJECT Pdo);
  // IoDetachDevice from TopOfStack; nothing when not attached.
  void Detach();

  // Releases the owner's I/O reference for the IRP, then IofCallDriver to TopOfStack. The
  // caller has set up the next stack location.
  NTSTATUS ForwardIrp(WdmPnpDevice* Owner, PIRP Irp);
  // The same for a power IRP: PoStartNextPowerIrp, the release, then PoCallDriver.
  NTSTATUS ForwardPowerIrp(WdmPnpDevice* Owner, PIRP Irp);
  // Skips the current location and forwards: the IRP goes down untouched.
  NTSTATUS PassDown(WdmPnpDevice* Owner, PIRP Irp);
  NTSTATUS PassDownPower(WdmPnpDevice* Owner, PIRP Irp);

  // Copies the current location to the next, sends the IRP down and waits for it
  // (without limit when Timeout is null; a relative time in 100 ns units otherwise). With
  // Stop the IRP stays the caller's afterwards (the completion returns
  // STATUS_MORE_PROCESSING_REQUIRED); without it the IRP completes on upwards. A timed
  // wait that expires cancels the IRP, waits for it to come back and returns
  // STATUS_TIMEOUT. Returns the final status, Information in *Information when given.
  // PASSIVE_LEVEL only.
  NTSTATUS CallDownAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information = nullptr,
                           PLARGE_INTEGER Timeout = nullptr);
  // The power variant: PoCallDriver instead of IofCallDriver.
  NTSTATUS CallDownPowerAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information = nullptr);

  // Asks the stack below for its capabilities with a fresh IRP_MN_QUERY_CAPABILITIES.
  NTSTATUS QueryCapabilities(PDEVICE_CAPABILITIES Capabilities);

  // Sets the completion routine of the next location, invoked as requested.
  static void SetCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN OnSuccess,
                            BOOLEAN OnError, BOOLEAN OnCancel);

  NTSTATUS Status;
  PDEVICE_OBJECT TopOfStack;
  PDEVICE_OBJECT TargetPdo;

 private:
  NTSTATUS CallAndWait(PIRP Irp, BOOLEAN Stop, PULONG_PTR Information, PLARGE_INTEGER Timeout, BOOLEAN Power);
};
