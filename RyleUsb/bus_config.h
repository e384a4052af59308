// The phone's USB configuration as the bus driver sorts it: three function slots, each
// with its interface records and the endpoints found on them, read from the raw
// configuration bytes by a parser that trusts nothing the device sent.
#pragma once

#include <ntddk.h>

#define USB_BUS_SLOTS 3
// Interface numbers index a table of this size; larger numbers are refused.
#define USB_BUS_MAX_INTERFACE_NUMBER 64
// The phone's slots use at most five interfaces (modem with its audio pair) of two
// endpoints each; anything wider than these bounds is refused rather than truncated.
#define USB_BUS_MAX_SLOT_INTERFACES 8
#define USB_BUS_MAX_INTERFACE_ENDPOINTS 8

// Transfer sizes of the pipes by kind.
#define USB_BUS_DATA_TRANSFER_SIZE 4096
#define USB_BUS_INTERRUPT_TRANSFER_SIZE 128

// Pipe kinds of a slot, the index into its pipe table.
enum UsbBusPipeKind {
  UsbPipeInterruptIn = 0,
  UsbPipeBulkIn = 1,
  UsbPipeBulkOut = 2,
  UsbPipeIsoIn = 3,
  UsbPipeIsoOut = 4,
  UsbPipeKinds = 5,
};

struct UsbEndpointRecord {
  UCHAR Attributes;
  UCHAR Address;
  USHORT MaxPacketSize;
  UCHAR Interval;
  ULONG MaxTransferSize;
};

struct UsbInterfaceRecord {
  UCHAR Number;
  UCHAR AlternateSetting;
  ULONG EndpointCount;
  UsbEndpointRecord Endpoints[USB_BUS_MAX_INTERFACE_ENDPOINTS];
};

struct UsbSlotConfiguration {
  BOOLEAN SlotPresent;
  UCHAR FunctionId;
  ULONG InterfaceCount;
  UsbInterfaceRecord Interfaces[USB_BUS_MAX_SLOT_INTERFACES];
  // bInterfaceNumber owning each pipe kind, -1 when the slot has none.
  LONG PipeInterface[UsbPipeKinds];
  // Endpoint address of each pipe kind (valid when PipeInterface is not -1).
  UCHAR PipeAddress[UsbPipeKinds];
};

struct UsbBusConfiguration {
  UsbSlotConfiguration Slot[USB_BUS_SLOTS];
  BOOLEAN RemoteWakeup;
  UCHAR ConfigurationValue;
};

// Sorts the configuration (Received bytes at Bytes) into the three slots. FALSE when a
// slot is missing, a FunctionId is refused, an endpoint type is unknown, or the bytes are
// malformed: a total beyond what was received, a descriptor of length 0 or 1 or one
// running past the end, a field beyond its descriptor's length, an interface number of
// 64 or more, an interface claiming endpoints it does not have. Configuration is
// always written (zeroed on failure).
BOOLEAN UsbBusParseConfiguration(const UCHAR* Bytes, ULONG Received, UsbBusConfiguration* Configuration);
