// What an AT driver test and its fake bus share: how the bus answers the channel's
// entries, what it saw (chunks, starts, stops, line control), and the AT driver's context
// and callbacks it recorded at binding, through which the test plays the bus's part.
// Handed to the fake bus image through the "Control" value of its service key.
#pragma once

#include "channel.h"

struct FakeBusControl {
  // ---- How the bus answers (set by the test) ----
  NTSTATUS CreateStatus;      // of a binding that is otherwise valid
  volatile LONG StartResult;  // ChannelStart's answer (1 starts the channel)
  volatile LONG RefuseCommands;  // SendCommand refuses every chunk

  // ---- What the bus saw (written by the bus under Lock) ----
  KSPIN_LOCK Lock;
  static const ULONG kMaxChunks = 64;
  static const ULONG kMaxData = 8192;
  ULONG ChunkCount;
  ULONG ChunkLength[kMaxChunks];
  ULONG DataLength;
  UCHAR Data[kMaxData];
  ULONG LineControlCount;
  ULONG LineControl[16];
  volatile LONG Creates, Closes, Starts, Stops;
  // ChannelStart or ChannelStop called above PASSIVE_LEVEL.
  volatile LONG EntriesAbovePassive;
  // The child's removal found the channel still bound: the bus would go on calling into
  // the AT device after it is gone.
  volatile LONG BoundAtRemoval;

  // ---- The bus side of the binding (kept by the bus) ----
  PDEVICE_OBJECT Child;  // the AT child PDO; BusDevice of the binding
  volatile LONG Bound;
  volatile LONG Started;
  volatile LONG Open;
  PVOID AtContext;
  PCHANNEL_DATA_RECEIVED AtResponseReceived;
  PCHANNEL_LINE_EVENT AtLineEvent;
  PCHANNEL_LENGTH_NOTICE AtCommandSent;
  PCHANNEL_DEVICE_STATE AtDeviceState;
};

// The fake bus's root device and the child it presents.
#define FAKE_BUS_SERVICE "Q93KatFakeBus"
#define FAKE_BUS_ROOT_ID "Q93KATFAKEBUS"
#define FAKE_BUS_CHILD_ID "KOVARA_RYLE\\VID_0FA7&PID_5E19&AT"
