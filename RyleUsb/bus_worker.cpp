// The bus FDO's worker thread: class requests of the channels sent at PASSIVE_LEVEL in
// posting order (AT commands and responses, line coding, control lines, break), and the
// rendezvous of removal and power-down.
#include "bus_device.h"

namespace {

const ACCESS_MASK kWorkerAccess = 0x1F03FF;
const KPRIORITY kWorkerPriority = 16;
const ULONG kClassRequestTimeoutMs = 200;
const ULONG kClassRequestTimeout98Ms = 100;
const ULONG kAtSlot = 2;
const ULONG kMaxResponsesPerNotice = 16;

BOOLEAN OwnsParameter(UCHAR code) {
  return code == UsbBusDevice::kWorkLineCoding || code == UsbBusDevice::kWorkBreak;
}

}  // namespace

// ---- Queue -----------------------------------------------------------------------------------

// Without its worker a bus would refuse every AT command and line request for ever: a
// worker that cannot start fails the start.
NTSTATUS UsbBusDevice::StartWorker() {
  if (Work.Running) return STATUS_SUCCESS;
  // Removal must always be able to tell the worker to end, memory or not.
  Work.RemovalItem = static_cast<BusWorkItem*>(WdmAllocate(sizeof(BusWorkItem)));
  if (!Work.RemovalItem) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Work.RemovalItem, sizeof(BusWorkItem));
  Work.Signal.Initialize(1, 0x7FFFFFFF);
  NTSTATUS status = Work.Thread.Start(WorkerMain, this, kWorkerAccess);
  if (!NT_SUCCESS(status)) {
    WdmFree(Work.RemovalItem);
    Work.RemovalItem = nullptr;
    return status;
  }
  KeSetPriorityThread(static_cast<PKTHREAD>(Work.Thread.Thread), kWorkerPriority);
  KIRQL irql;
  KeAcquireSpinLock(&Work.QueueLock, &irql);
  Work.Running = TRUE;
  KeReleaseSpinLock(&Work.QueueLock, irql);
  return STATUS_SUCCESS;
}

// Queues a filled item while the worker runs (0x50 and 0x51 at the head, the rest at the
// tail) and wakes it; an item that could not be queued is freed, and FALSE returned.
BOOLEAN UsbBusDevice::QueueWork(BusWorkItem* Item) {
  KIRQL irql;
  KeAcquireSpinLock(&Work.QueueLock, &irql);
  BOOLEAN running = Work.Running;
  if (running) {
    if (Item->Code == kWorkResume || Item->Code == kWorkRemoval) InsertHeadList(&Work.Items, &Item->Link);
    else InsertTailList(&Work.Items, &Item->Link);
  }
  KeReleaseSpinLock(&Work.QueueLock, irql);
  if (!running) {
    WdmFree(Item);
    return FALSE;
  }
  Work.Signal.Release();
  return TRUE;
}

LONG UsbBusDevice::PostWork(UCHAR Code, ULONG SlotIndex, PCHANNEL_BUFFER Buffer, PVOID Parameter,
                            ULONG ParameterLength) {
  auto* item = static_cast<BusWorkItem*>(WdmAllocate(sizeof(BusWorkItem)));
  if (!item) return 0;
  RtlZeroMemory(item, sizeof(*item));
  item->Code = Code;
  item->Slot = SlotIndex;
  item->Buffer = Buffer;
  item->Parameter = Parameter;
  item->ParameterLength = ParameterLength;
  return QueueWork(item) ? 1 : 0;
}

// Posts 0x51 (at the head) or 0x52 (at the tail) and waits until the worker got there.
// Nothing is posted or waited for when the worker does not run.
void UsbBusDevice::WaitForWorker(UCHAR Code) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  BusWorkItem* item = nullptr;
  if (Code == kWorkRemoval) {
    item = Work.RemovalItem;
    Work.RemovalItem = nullptr;
  } else {
    item = static_cast<BusWorkItem*>(WdmAllocate(sizeof(BusWorkItem)));
  }
  if (!item) return;
  RtlZeroMemory(item, sizeof(*item));
  item->Code = Code;
  item->Event = &done;
  if (!QueueWork(item)) return;
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  // The worker frees a 0x52 item itself; the removal item stays the poster's.
  if (Code == kWorkRemoval) WdmFree(item);
}

// Ends the worker and waits until its thread has left this driver's code.
void UsbBusDevice::StopWorker() {
  WaitForWorker(kWorkRemoval);
  if (Work.Thread.Started) Work.Thread.WaitForEnd();
  // Never taken when the worker did not run.
  WdmFree(Work.RemovalItem);
  Work.RemovalItem = nullptr;
}

// Takes every queued item out; a removal among them is noted.
void UsbBusDevice::PurgeWorkLocked(LIST_ENTRY* Purged, BOOLEAN* RemovalSeen) {
  while (!IsListEmpty(&Work.Items)) {
    PLIST_ENTRY e = RemoveHeadList(&Work.Items);
    auto* item = CONTAINING_RECORD(e, BusWorkItem, Link);
    if (item->Code == kWorkRemoval) *RemovalSeen = TRUE;
    InsertTailList(Purged, e);
  }
}

// Purged work still owes its poster an answer: an AT chunk is reported as not sent (so the
// AT function driver, which keeps one chunk at the bus, goes on) and a waiting poster is
// released.
void UsbBusDevice::FinishPurged(LIST_ENTRY* Purged) {
  while (!IsListEmpty(Purged)) {
    auto* item = CONTAINING_RECORD(RemoveHeadList(Purged), BusWorkItem, Link);
    if (item->Code == kWorkCommand && item->Buffer) {
      UsbOwnerCall call;
      if (EnterOwner(item->Slot, CHANNEL_KIND_AT, &call)) {
        if (call.WriteComplete) call.WriteComplete(call.Context, 0);
        LeaveOwner(item->Slot);
      }
    }
    if (item->Buffer) ExFreePool(item->Buffer);  // the function driver's, under its own tag
    if (OwnsParameter(item->Code)) WdmFree(item->Parameter);
    if (item->Event) {
      PKEVENT event = item->Event;
      if (item->Code == kWorkRemoval) item = nullptr;  // the preallocated item is freed by its poster
      KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
    WdmFree(item);
  }
}

// ---- The thread ------------------------------------------------------------------------------

VOID NTAPI UsbBusDevice::WorkerMain(PVOID StartContext) {
  auto* device = static_cast<UsbBusDevice*>(WdmSystemThread::From(StartContext)->Context);
  device->WorkerLoop();
}

void UsbBusDevice::WorkerLoop() {
  for (;;) {
    Work.Signal.Wait();
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&Work.QueueLock, &irql);
      BusWorkItem* item = nullptr;
      if (!IsListEmpty(&Work.Items)) item = CONTAINING_RECORD(RemoveHeadList(&Work.Items), BusWorkItem, Link);
      KeReleaseSpinLock(&Work.QueueLock, irql);
      if (!item) break;

      if (item->Code == kWorkResume || item->Code == kWorkRemoval) {
        LIST_ENTRY purged;
        InitializeListHead(&purged);
        BOOLEAN removal = item->Code == kWorkRemoval;
        PKEVENT done = item->Event;
        if (item->Code == kWorkResume) WdmFree(item);
        KeAcquireSpinLock(&Work.QueueLock, &irql);
        PurgeWorkLocked(&purged, &removal);
        if (removal) Work.Running = FALSE;
        KeReleaseSpinLock(&Work.QueueLock, irql);
        FinishPurged(&purged);
        if (removal) {
          // The preallocated removal item goes back to its poster with the event.
          Work.Thread.MarkEnded();
          if (done) KeSetEvent(done, IO_NO_INCREMENT, FALSE);
          PsTerminateSystemThread(STATUS_SUCCESS);
        }
        continue;
      }
      RunWorkItem(item);
    }
  }
}

void UsbBusDevice::RunWorkItem(BusWorkItem* Item) {
  switch (Item->Code) {
    case kWorkCommand:
      if (Item->Buffer) {
        LONG sent = SendClassRequest(kWorkCommand, Item->Slot, Item->Buffer->Data, Item->Buffer->Length);
        // A chunk that did not go is reported with length 0: without any report the AT
        // function driver would wait for it for ever.
        UsbOwnerCall call;
        if (EnterOwner(Item->Slot, CHANNEL_KIND_AT, &call)) {
          if (call.WriteComplete) call.WriteComplete(call.Context, sent ? Item->Buffer->Length : 0);
          LeaveOwner(Item->Slot);
        }
      }
      break;
    case kWorkResponse:
      // Read until the phone has nothing more: a response whose notification was lost (or
      // found no memory for its work) comes with the next one instead of never.
      for (ULONG n = 0; n < kMaxResponsesPerNotice && ReadResponse(Item->Slot); n++) {
      }
      break;
    case kWorkLineCoding:
    case kWorkControlLines:
    case kWorkBreak:
      if (Item->Parameter) SendClassRequest(Item->Code, Item->Slot, Item->Parameter, Item->ParameterLength);
      break;
    case kWorkPowerDown:
      if (Item->Event) KeSetEvent(Item->Event, IO_NO_INCREMENT, FALSE);
      break;
    default:
      break;
  }
  if (Item->Buffer) ExFreePool(Item->Buffer);  // the function driver's, under its own tag
  if (OwnsParameter(Item->Code)) WdmFree(Item->Parameter);
  WdmFree(Item);
}

// One GET_ENCAPSULATED_RESPONSE handed to the slot's AT owner; FALSE when nothing came.
BOOLEAN UsbBusDevice::ReadResponse(ULONG SlotIndex) {
  auto* buffer = static_cast<PCHANNEL_BUFFER>(WdmAllocate(CHANNEL_BUFFER_ALLOCATION_SIZE));
  if (!buffer) return FALSE;
  InitializeListHead(&buffer->Links);
  buffer->Offset = 0;
  Work.LastResponseLength = 0;
  LONG read = SendClassRequest(kWorkResponse, SlotIndex, buffer->Data, CHANNEL_BUFFER_DATA_SIZE);
  buffer->Length = read ? Work.LastResponseLength : 0;
  BOOLEAN got = buffer->Length != 0;
  UsbOwnerCall call;
  // A failed or empty read delivers nothing: an empty response would read as one.
  if (got && EnterOwner(SlotIndex, CHANNEL_KIND_AT, &call)) {
    if (call.DataReceived) {
      call.DataReceived(call.Context, buffer);
      buffer = nullptr;
    }
    LeaveOwner(SlotIndex);
  }
  WdmFree(buffer);
  return got;
}

// ---- Class requests --------------------------------------------------------------------------

LONG UsbBusDevice::SendClassRequest(UCHAR Code, ULONG SlotIndex, PVOID Data, ULONG Length) {
  if (SlotIndex >= kSlots) return 0;
  if (Code != kWorkCommand && Code != kWorkResponse && Code != kWorkLineCoding && Code != kWorkControlLines &&
      Code != kWorkBreak) {
    return 0;
  }
  // The AT function has no line to code or control.
  if (SlotIndex == kAtSlot && Code != kWorkCommand && Code != kWorkResponse) return 0;
  LONG number = Slot[SlotIndex].PipeInterface[UsbPipeInterruptIn];
  if (number < 0 || !Interfaces[number].IsBound()) return 0;

  BOOLEAN in = Code == kWorkResponse;
  USHORT value = 0;
  PVOID stage = Data;
  ULONG stageLength = Length;
  if (Code == kWorkControlLines || Code == kWorkBreak) {
    // The word as it is now: two changes queued before this one both send the last.
    if (Code == kWorkControlLines) {
      KIRQL irql;
      KeAcquireSpinLock(&BindingLock, &irql);
      value = *static_cast<volatile USHORT*>(Data);
      KeReleaseSpinLock(&BindingLock, irql);
    } else {
      value = *static_cast<PUSHORT>(Data);
    }
    stage = nullptr;
    stageLength = 0;
  }
  auto* urb = static_cast<PURB>(WdmAllocate(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (!urb) return 0;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));

  LONG result;
  if (IsWin98Platform) {
    ULONG received = 0;
    Interfaces[number].BuildClassRequest(urb, in, in, nullptr, stageLength, 1, Code, value);
    result = NT_SUCCESS(SendShared(urb, stage, stageLength, in, kClassRequestTimeout98Ms, &received));
    if (in) Work.LastResponseLength = received;
  } else {
    Interfaces[number].BuildClassRequest(urb, in, in, stage, stageLength, 1, Code, value);
    NTSTATUS status = Usb.SubmitUrb(urb, nullptr, nullptr, kClassRequestTimeoutMs);
    result = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status);
    if (in) Work.LastResponseLength = result ? urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
  }
  WdmFree(urb);
  return result;
}

// ---- Requests on the 98 platform -------------------------------------------------------------

namespace {

// Shared by the waiter and the completion; whichever lets go last frees it. It owns the
// data stage, so a request still below after the waiter gave up never reaches freed memory.
struct SharedRequest {
  volatile LONG References;
  KEVENT Done;
  NTSTATUS Status;
  ULONG Received;
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
  UCHAR Data[1];
};

void ReleaseShared(SharedRequest* request) {
  if (InterlockedDecrement(&request->References) == 0) WdmFree(request);
}

void SharedDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* request = static_cast<SharedRequest*>(Context);
  request->Status = NT_SUCCESS(Irp->IoStatus.Status) && !USBD_SUCCESS(request->Urb.Hdr.Status)
                        ? STATUS_UNSUCCESSFUL
                        : Irp->IoStatus.Status;
  request->Received = request->Urb.TransferBufferLength;
  KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
  ReleaseShared(request);
}

}  // namespace

// Submits a copy of Urb (a vendor or class request built without a buffer) with its own
// copy of the data and waits at most TimeoutMs without cancelling: STATUS_TIMEOUT, or the
// request's status. The request may outlive the wait.
NTSTATUS UsbBusDevice::SendShared(PURB Urb, PVOID Data, ULONG Length, BOOLEAN In, ULONG TimeoutMs, PULONG Received) {
  *Received = 0;
  auto* request = static_cast<SharedRequest*>(WdmAllocate(sizeof(SharedRequest) + Length));
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(request, sizeof(SharedRequest));
  request->References = 2;
  KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
  RtlCopyMemory(&request->Urb, Urb, sizeof(request->Urb));
  request->Urb.TransferBuffer = Length ? request->Data : nullptr;
  request->Urb.TransferBufferLength = Length;
  if (Length && !In) RtlCopyMemory(request->Data, Data, Length);
  Usb.SubmitUrb(reinterpret_cast<PURB>(&request->Urb), SharedDone, request);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)TimeoutMs * 10000;
  NTSTATUS result = STATUS_TIMEOUT;
  if (KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
    result = request->Status;
    ULONG received = request->Received < Length ? request->Received : Length;
    if (NT_SUCCESS(result) && In && Data) RtlCopyMemory(Data, request->Data, received);
    *Received = NT_SUCCESS(result) ? received : 0;
  }
  ReleaseShared(request);
  return result;
}
