// The channel contract between the bus driver, the function drivers above its children
// and their clients: the binding record passed down with IRP_MJ_CREATE, the buffers,
// limits and line coding it exchanges, and the codes of kinds, line control and events.
// The record's byte layout is fixed for the 32-bit drivers.
#pragma once

#include <ntddk.h>

// Function kinds; also the function codes the bus sends to the phone.
#define CHANNEL_KIND_MODEM 0x01
#define CHANNEL_KIND_AT 0x02
#define CHANNEL_KIND_OBEX 0x60
#define CHANNEL_KIND_EXTRA 0xC0

// Line-control codes (SetLineControl, ClientLineControl).
#define CHANNEL_DTR_ON 0
#define CHANNEL_DTR_OFF 1
#define CHANNEL_RTS_ON 2
#define CHANNEL_RTS_OFF 3
#define CHANNEL_BREAK_ON 12
#define CHANNEL_BREAK_OFF 13

// Event codes: line events from the bus (LineEvent) and, extended by the function
// drivers, the events their client receives (ClientEvent).
#define CHANNEL_EVENT_DCD_ON 4
#define CHANNEL_EVENT_DCD_OFF 5
#define CHANNEL_EVENT_CTS_ON 6
#define CHANNEL_EVENT_CTS_OFF 7
#define CHANNEL_EVENT_DSR_ON 8
#define CHANNEL_EVENT_DSR_OFF 9
#define CHANNEL_EVENT_RING_ON 10
#define CHANNEL_EVENT_RING_OFF 11
#define CHANNEL_EVENT_BREAK_ON 12
#define CHANNEL_EVENT_BREAK_OFF 13

// Reception hold codes of ObexReceiveHold and ExtraReceiveHold.
#define CHANNEL_OBEX_RELEASE 0
#define CHANNEL_OBEX_HOLD 1
#define CHANNEL_EXTRA_RELEASE 2
#define CHANNEL_EXTRA_HOLD 3

// Bus information request: 16 bytes out (UsbMode, 0, 0, 0xFFFFFFFF on a started bus FDO).
#define IOCTL_CHANNEL_BUS_INFORMATION 0x0022E800

// Data buffer handed across the channel: two links for the owner, then length, offset
// and data. Buffers the bus allocates hold 2048 data bytes.
typedef struct _CHANNEL_BUFFER {
  LIST_ENTRY Links;
  ULONG Length;
  ULONG Offset;
  UCHAR Data[1];
} CHANNEL_BUFFER, *PCHANNEL_BUFFER;

#define CHANNEL_BUFFER_HEADER_SIZE FIELD_OFFSET(CHANNEL_BUFFER, Data)
#define CHANNEL_BUFFER_DATA_SIZE 2048
#define CHANNEL_BUFFER_ALLOCATION_SIZE (CHANNEL_BUFFER_HEADER_SIZE + CHANNEL_BUFFER_DATA_SIZE + 4)

// Buffer limits from GetLimits: size, high mark and low mark, each direction.
typedef struct _CHANNEL_LIMITS {
  ULONG UpMaxKeepDataSize;
  ULONG UpHighMark;
  ULONG UpLowMark;
  ULONG DownMaxKeepDataSize;
  ULONG DownHighMark;
  ULONG DownLowMark;
} CHANNEL_LIMITS, *PCHANNEL_LIMITS;

typedef struct _CHANNEL_LINE_CODING {
  ULONG DataRate;
  ULONG StopBits;
  ULONG Parity;
  ULONG DataBits;
} CHANNEL_LINE_CODING, *PCHANNEL_LINE_CODING;

// Calls into the client (first argument ClientContext).
typedef LONG(NTAPI* PCHANNEL_CLIENT_EVENT)(PVOID ClientContext, ULONG Code);
typedef LONG(NTAPI* PCHANNEL_CLIENT_RECEIVE)(PVOID ClientContext, PCHANNEL_BUFFER Buffer, PULONG Taken);
// Entries a function driver offers its client (first argument: its context).
typedef LONG(NTAPI* PCHANNEL_CLIENT_WRITE)(PVOID Context, PVOID Data, ULONG Length);
typedef LONG(NTAPI* PCHANNEL_CLIENT_LINE_CONTROL)(PVOID Context, ULONG Code);
typedef LONG(NTAPI* PCHANNEL_CLIENT_LINE_CODING)(PVOID Context, PCHANNEL_LINE_CODING Coding);
typedef LONG(NTAPI* PCHANNEL_CLIENT_SET_FLOW)(PVOID Context, ULONG TransmitFlow, ULONG ReceiveFlow);
typedef LONG(NTAPI* PCHANNEL_CLIENT_SET_CHARS)(PVOID Context, ULONG XonChar, ULONG XoffChar);
// Callbacks the bus makes into a function driver (first argument: its context).
typedef LONG(NTAPI* PCHANNEL_DATA_RECEIVED)(PVOID Context, PCHANNEL_BUFFER Buffer);
typedef LONG(NTAPI* PCHANNEL_LINE_EVENT)(PVOID Context, ULONG Code);
typedef LONG(NTAPI* PCHANNEL_LENGTH_NOTICE)(PVOID Context, ULONG Length);
typedef LONG(NTAPI* PCHANNEL_DEVICE_STATE)(PVOID Context, ULONG On);
// Bus entry points (first argument: the bound device object; two 4-byte arguments).
typedef LONG(NTAPI* PCHANNEL_BUS_ENTRY)(PDEVICE_OBJECT Device, ULONG_PTR Argument);
typedef LONG(NTAPI* PCHANNEL_BUS_BUFFER_ENTRY)(PDEVICE_OBJECT Device, PCHANNEL_BUFFER Buffer);
typedef LONG(NTAPI* PCHANNEL_BUS_CODING_ENTRY)(PDEVICE_OBJECT Device, PCHANNEL_LINE_CODING Coding);
typedef LONG(NTAPI* PCHANNEL_BUS_LIMITS_ENTRY)(PDEVICE_OBJECT Device, PCHANNEL_LIMITS Limits);

typedef struct _CHANNEL_BINDING {
  UCHAR Kind;
  UCHAR Reserved01[3];
  PVOID ClientContext;
  PVOID ModemContext;
  PVOID ObexContext;
  PVOID ExtraContext;
  PVOID AtContext;
  PDEVICE_OBJECT BusDevice;
  PCHANNEL_CLIENT_EVENT ClientEvent;
  PCHANNEL_CLIENT_RECEIVE ClientReceive;
  // Modem function driver
  PCHANNEL_CLIENT_WRITE ModemClientWrite;
  PCHANNEL_CLIENT_LINE_CONTROL ModemClientLineControl;
  PCHANNEL_CLIENT_LINE_CODING ModemClientSetBaud;
  PCHANNEL_CLIENT_LINE_CODING ModemClientSetLineSettings;
  PCHANNEL_CLIENT_SET_FLOW ModemClientSetFlow;
  PCHANNEL_CLIENT_SET_CHARS ModemClientSetChars;
  PCHANNEL_DATA_RECEIVED ModemDataReceived;
  PCHANNEL_LINE_EVENT ModemLineEvent;
  PCHANNEL_LENGTH_NOTICE ModemWriteComplete;
  PCHANNEL_DEVICE_STATE ModemDeviceState;
  // AT function driver
  PCHANNEL_CLIENT_WRITE AtClientWrite;
  PCHANNEL_CLIENT_LINE_CONTROL AtClientLineControl;
  PCHANNEL_DATA_RECEIVED AtResponseReceived;
  PCHANNEL_LINE_EVENT AtLineEvent;
  PCHANNEL_LENGTH_NOTICE AtCommandSent;
  PCHANNEL_DEVICE_STATE AtDeviceState;
  // OBEX function driver
  PCHANNEL_CLIENT_WRITE ObexClientWrite;
  PCHANNEL_CLIENT_LINE_CONTROL ObexClientLineControl;
  PCHANNEL_DATA_RECEIVED ObexDataReceived;
  PCHANNEL_LENGTH_NOTICE ObexWriteComplete;
  PCHANNEL_DEVICE_STATE ObexDeviceState;
  // Extra function's user
  PCHANNEL_DATA_RECEIVED ExtraDataReceived;
  PCHANNEL_LENGTH_NOTICE ExtraWriteComplete;
  PCHANNEL_DEVICE_STATE ExtraDeviceState;
  // Bus entry points
  PCHANNEL_BUS_ENTRY ChannelStart;
  PCHANNEL_BUS_ENTRY ChannelStop;
  PCHANNEL_BUS_CODING_ENTRY SetLineCoding;
  PCHANNEL_BUS_ENTRY SetLineControl;
  PCHANNEL_BUS_BUFFER_ENTRY WriteModem;
  PCHANNEL_BUS_BUFFER_ENTRY SendCommand;
  PCHANNEL_BUS_BUFFER_ENTRY WriteObex;
  PCHANNEL_BUS_ENTRY ObexReceiveHold;
  PCHANNEL_BUS_BUFFER_ENTRY WriteExtra;
  PCHANNEL_BUS_ENTRY ExtraReceiveHold;
  PCHANNEL_BUS_LIMITS_ENTRY GetLimits;
} CHANNEL_BINDING, *PCHANNEL_BINDING;

// The 32-bit drivers exchange the record byte for byte; the host build keeps the natural
// layout of its 8-byte pointers.
#define CHANNEL_CHECK_OFFSET(field, offset) \
  static_assert(sizeof(void*) != 4 || FIELD_OFFSET(CHANNEL_BINDING, field) == (offset), "CHANNEL_BINDING." #field)
static_assert(sizeof(void*) != 4 || sizeof(CHANNEL_BINDING) == 0xB0, "CHANNEL_BINDING is 176 bytes");
static_assert(sizeof(void*) != 4 || sizeof(CHANNEL_LIMITS) == 24, "CHANNEL_LIMITS is 24 bytes");
static_assert(sizeof(void*) != 4 || sizeof(CHANNEL_LINE_CODING) == 16, "CHANNEL_LINE_CODING is 16 bytes");
static_assert(sizeof(void*) != 4 || CHANNEL_BUFFER_HEADER_SIZE == 0x10, "CHANNEL_BUFFER header is 16 bytes");
CHANNEL_CHECK_OFFSET(ClientContext, 0x04);
CHANNEL_CHECK_OFFSET(ModemContext, 0x08);
CHANNEL_CHECK_OFFSET(ObexContext, 0x0C);
CHANNEL_CHECK_OFFSET(ExtraContext, 0x10);
CHANNEL_CHECK_OFFSET(AtContext, 0x14);
CHANNEL_CHECK_OFFSET(BusDevice, 0x18);
CHANNEL_CHECK_OFFSET(ClientEvent, 0x1C);
CHANNEL_CHECK_OFFSET(ClientReceive, 0x20);
CHANNEL_CHECK_OFFSET(ModemClientWrite, 0x24);
CHANNEL_CHECK_OFFSET(ModemClientLineControl, 0x28);
CHANNEL_CHECK_OFFSET(ModemClientSetBaud, 0x2C);
CHANNEL_CHECK_OFFSET(ModemClientSetLineSettings, 0x30);
CHANNEL_CHECK_OFFSET(ModemClientSetFlow, 0x34);
CHANNEL_CHECK_OFFSET(ModemClientSetChars, 0x38);
CHANNEL_CHECK_OFFSET(ModemDataReceived, 0x3C);
CHANNEL_CHECK_OFFSET(ModemLineEvent, 0x40);
CHANNEL_CHECK_OFFSET(ModemWriteComplete, 0x44);
CHANNEL_CHECK_OFFSET(ModemDeviceState, 0x48);
CHANNEL_CHECK_OFFSET(AtClientWrite, 0x4C);
CHANNEL_CHECK_OFFSET(AtClientLineControl, 0x50);
CHANNEL_CHECK_OFFSET(AtResponseReceived, 0x54);
CHANNEL_CHECK_OFFSET(AtLineEvent, 0x58);
CHANNEL_CHECK_OFFSET(AtCommandSent, 0x5C);
CHANNEL_CHECK_OFFSET(AtDeviceState, 0x60);
CHANNEL_CHECK_OFFSET(ObexClientWrite, 0x64);
CHANNEL_CHECK_OFFSET(ObexClientLineControl, 0x68);
CHANNEL_CHECK_OFFSET(ObexDataReceived, 0x6C);
CHANNEL_CHECK_OFFSET(ObexWriteComplete, 0x70);
CHANNEL_CHECK_OFFSET(ObexDeviceState, 0x74);
CHANNEL_CHECK_OFFSET(ExtraDataReceived, 0x78);
CHANNEL_CHECK_OFFSET(ExtraWriteComplete, 0x7C);
CHANNEL_CHECK_OFFSET(ExtraDeviceState, 0x80);
CHANNEL_CHECK_OFFSET(ChannelStart, 0x84);
CHANNEL_CHECK_OFFSET(ChannelStop, 0x88);
CHANNEL_CHECK_OFFSET(SetLineCoding, 0x8C);
CHANNEL_CHECK_OFFSET(SetLineControl, 0x90);
CHANNEL_CHECK_OFFSET(WriteModem, 0x94);
CHANNEL_CHECK_OFFSET(SendCommand, 0x98);
CHANNEL_CHECK_OFFSET(WriteObex, 0x9C);
CHANNEL_CHECK_OFFSET(ObexReceiveHold, 0xA0);
CHANNEL_CHECK_OFFSET(WriteExtra, 0xA4);
CHANNEL_CHECK_OFFSET(ExtraReceiveHold, 0xA8);
CHANNEL_CHECK_OFFSET(GetLimits, 0xAC);
#undef CHANNEL_CHECK_OFFSET
