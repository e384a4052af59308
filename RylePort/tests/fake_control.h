// What a port test shares with the fake control driver below the port: the driver's
// settings and what it saw, handed to the image through the "Control" value of its
// service key.
#pragma once

#include <ntddk.h>

#include "channel.h"

struct FakeControl {
  // Settings
  BOOLEAN RaiseCtsOnOpen;     // event 6 during the open, so the port may transmit
  BOOLEAN Echo;               // written bytes come back through ClientReceive
  NTSTATUS OpenStatus;        // the open's status (success unless set)
  volatile LONG RefuseWrites; // this many ClientWrite calls return 0; -1: all of them
  PKEVENT WriteEntered;       // when set: signalled as ClientWrite begins, which then
  PKEVENT WriteRelease;       // waits for this event before taking the bytes
  // What the driver saw
  PCHANNEL_BINDING Binding;   // the port's record while bound
  volatile LONG Opens, Closes, WriteCalls, LineControls;
  ULONG LargestChunk;
  PUCHAR Sink;                // written bytes in order (test-owned), when set
  ULONG SinkCapacity;
  volatile LONG SinkLength;
  ULONG LastLineControl;
};
