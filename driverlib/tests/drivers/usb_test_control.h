// What the USB tests and their test driver share: the private control code that runs one
// operation of the USB lower device, its request and reply, and the block through which
// the driver reports asynchronous completions (its address in the service key "Control").
#pragma once

#include <ntddk.h>

// METHOD_BUFFERED, a UsbTestRequest in, a UsbTestReply out.
#define IOCTL_USB_TEST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

enum UsbTestOp : ULONG {
  kOpDeviceDescriptor,   // Data: the 18 bytes
  kOpConfiguration,      // Arg[0] index, Arg[1] size; Value: usable length; Data: its bytes
  kOpString,             // Arg[0] index, Arg[1] language, Arg[2] buffer bytes; Data: the text
  kOpAddInterface,       // Arg[0] number, Arg[1] alternate, Arg[2] configuration value
  kOpAddPipe,            // Arg[0] endpoint address, Arg[1] maximum transfer size; Value: its index
  kOpActivate,           // Arg[0] value, Arg[1] size; Value: result; Data[i]: pipe i bound
  kOpTransfer,           // Arg[0] pipe, Arg[1] 1 in, Arg[2] length, Arg[3] time limit ms; Data in/out
  kOpAsyncRead,          // Arg[0] pipe, Arg[1] length, Arg[2] 1: no URB; ends in the control block
  kOpReset,              // Arg[0] pipe
  kOpAbort,              // Arg[0] pipe
  kOpVendor,             // Arg[0] interface slot, Arg[1] request, Arg[2] value; no data stage
  kOpPortStatus,         // Value: the port bits
  kOpCyclePort,
  kOpDeconfigure,
  kOpRelease,
};

struct UsbTestRequest {
  ULONG Op;
  ULONG Arg[4];
  ULONG Length;  // bytes of Data for an OUT transfer
  UCHAR Data[256];
};

struct UsbTestReply {
  NTSTATUS Status;
  ULONG Value;
  ULONG Length;  // bytes of Data
  UCHAR Data[512];
};

struct UsbTestControl {
  // Set by the driver when an asynchronous read's callback ran (at DISPATCH_LEVEL at most).
  KEVENT AsyncDone;
  volatile LONG AsyncCallbacks;
  NTSTATUS AsyncStatus;
  NTSTATUS AsyncSubmitStatus;  // what the submission itself returned
  ULONG AsyncLength;
  UCHAR AsyncData[64];
  // Set by the driver's unload routine.
  volatile LONG Unloaded;
};
