// IRPs: allocation, the requests the I/O manager builds for drivers, IoCallDriver and
// IoCompleteRequest with the verifier's rules, cancel, and MDLs over host memory.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "devnode.h"
#include "internal.h"
#include "io.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

enum : ULONG_PTR {
  kIrpUnknown = 0x1200,
  kPendingNotMarked = 0x1201,
  kDispatchIrql = 0x1202,
  kCompletedPending = 0x1203,
  kCompletionIrql = 0x1204,
  kFreeUnknownIrp = 0x1205,
};
constexpr ULONG kCancelStateInCompletedIrp = 0x48;

struct IrpTrack {
  bool hostMemory = false;     // from IoAllocateIrp (else the caller's memory, IoInitializeIrp)
  bool ioManager = false;      // built by the I/O manager: post-processed and freed at completion
  bool freed = false;          // IoFreeIrp called (memory may still wait for a call frame)
  bool freeOnReturn = false;
  int callDepth = 0;           // IofCallDriver frames running on this IRP
  std::vector<std::pair<int, PDEVICE_OBJECT>> sentTo;  // (stack location, device) not yet done
  // Per stack location (bit = location): completion passed it, it had SL_PENDING_RETURNED
  // then, its dispatch routine returned STATUS_PENDING before completion got there.
  ULONGLONG poppedMask = 0, pendingMask = 0, pendingOwed = 0;
  void* systemBuffer = nullptr;  // the I/O manager's buffer (host memory)
  void* copyBackTo = nullptr;
  ULONG copyBackMax = 0;
  PMDL mdl = nullptr;          // the I/O manager's MDL
  std::function<void(PIRP)> hook;
};
using TrackPtr = std::shared_ptr<IrpTrack>;

std::mutex gIrpLock;
std::unordered_map<PIRP, TrackPtr> gIrps;
std::unordered_set<PMDL> gMdls;
KSPIN_LOCK gCancelLock = 0;

TrackPtr Find(PIRP irp) {
  auto it = gIrps.find(irp);
  return it == gIrps.end() ? nullptr : it->second;
}

void CountDone(IrpTrack& t, int belowLocation) {
  // Every device that served a location below the IRP's current one is done with it.
  auto keep = std::remove_if(t.sentTo.begin(), t.sentTo.end(), [&](const std::pair<int, PDEVICE_OBJECT>& e) {
    if (e.first >= belowLocation) return false;
    if (DeviceObjectInfo* info = InfoOf(e.second)) __atomic_sub_fetch(&info->outstandingIrps, 1, __ATOMIC_SEQ_CST);
    return true;
  });
  t.sentTo.erase(keep, t.sentTo.end());
}

void FreeMdlLocked(PMDL mdl) {
  if (!gMdls.erase(mdl)) return;
  free(mdl);
}

// Under gIrpLock: the I/O manager's buffers of an IRP go.
void ReleaseBuffersLocked(PIRP irp, IrpTrack& t) {
  if (t.systemBuffer) {
    if (irp->AssociatedIrp.SystemBuffer == t.systemBuffer) irp->AssociatedIrp.SystemBuffer = nullptr;
    free(t.systemBuffer);
    t.systemBuffer = nullptr;
  }
  if (t.mdl) {
    if (irp->MdlAddress == t.mdl) irp->MdlAddress = nullptr;
    FreeMdlLocked(t.mdl);
    t.mdl = nullptr;
  }
}

// Under gIrpLock: the IRP's memory goes now, or when its last call frame returns.
void ReleaseLocked(PIRP irp, const TrackPtr& t) {
  t->freed = true;
  if (t->callDepth > 0) {
    t->freeOnReturn = true;
    return;
  }
  gIrps.erase(irp);
  if (t->hostMemory) free(irp);
}

PMDL NewMdl(PVOID va, ULONG length) {
  auto* mdl = static_cast<PMDL>(calloc(1, sizeof(MDL)));
  ULONG_PTR addr = (ULONG_PTR)va;
  mdl->Size = sizeof(MDL);
  mdl->StartVa = (PVOID)(addr & ~(ULONG_PTR)0xFFF);
  mdl->ByteOffset = (ULONG)(addr & 0xFFF);
  mdl->ByteCount = length;
  std::lock_guard<std::mutex> g(gIrpLock);
  gMdls.insert(mdl);
  return mdl;
}

PMDL LockedMdlFor(void* buffer, ULONG length, LOCK_OPERATION op) {
  PMDL mdl = NewMdl(buffer, length);
  MmProbeAndLockPages(mdl, KernelMode, op);
  return mdl;
}

TrackPtr Track(PIRP irp) {
  std::lock_guard<std::mutex> g(gIrpLock);
  return Find(irp);
}

void PostProcess(PIRP irp, TrackPtr t, CCHAR boost) {
  std::function<void(PIRP)> hook;
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    if (t->copyBackTo && t->systemBuffer && !NT_ERROR(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION)) {
      size_t n = std::min<size_t>(irp->IoStatus.Information, t->copyBackMax);
      memcpy(t->copyBackTo, t->systemBuffer, n);
    }
    if (t->mdl) MmUnlockPages(t->mdl);
    ReleaseBuffersLocked(irp, *t);
    hook = std::move(t->hook);
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (hook) hook(irp);
  if (irp->UserEvent) KeSetEvent(irp->UserEvent, boost, FALSE);
  std::lock_guard<std::mutex> g(gIrpLock);
  ReleaseLocked(irp, t);
}

PIRP NewIoManagerIrp(PDEVICE_OBJECT device, KPROCESSOR_MODE mode) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->RequestorMode = mode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  std::lock_guard<std::mutex> g(gIrpLock);
  Find(irp)->ioManager = true;
  return irp;
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void io::ResetIrps() {
  std::lock_guard<std::mutex> g(gIrpLock);
  for (auto& [irp, t] : gIrps) {
    if (t->systemBuffer) free(t->systemBuffer);
    if (t->hostMemory) free(irp);
  }
  gIrps.clear();
  for (PMDL m : gMdls) free(m);
  gMdls.clear();
  gCancelLock = 0;
}

PIRP io::BuildReadWrite(UCHAR major, PDEVICE_OBJECT device, void* buffer, ULONG length, const LONGLONG* offset,
                        KPROCESSOR_MODE mode) {
  PIRP irp = NewIoManagerIrp(device, mode);
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = major;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    sl->Parameters.Read.Length = length;
    sl->Parameters.Read.ByteOffset.QuadPart = offset ? *offset : 0;
    irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    TrackPtr t = Track(irp);
    if (device->Flags & DO_BUFFERED_IO) {
      if (length) {
        t->systemBuffer = malloc(length);
        if (major == IRP_MJ_WRITE) memcpy(t->systemBuffer, buffer, length);
        else memset(t->systemBuffer, 0, length);
      }
      irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (major == IRP_MJ_READ) {
        irp->Flags |= IRP_INPUT_OPERATION;
        t->copyBackTo = buffer;
        t->copyBackMax = length;
      }
    } else if (device->Flags & DO_DIRECT_IO) {
      if (length) {
        t->mdl = LockedMdlFor(buffer, length, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        irp->MdlAddress = t->mdl;
      }
    }
    irp->UserBuffer = buffer;
  }
  return irp;
}

PIRP io::BuildControl(ULONG code, PDEVICE_OBJECT device, const void* in, ULONG inLength, void* out, ULONG outLength,
                      bool internal, KPROCESSOR_MODE mode) {
  PIRP irp = NewIoManagerIrp(device, mode);
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sl->Parameters.DeviceIoControl.IoControlCode = code;
  sl->Parameters.DeviceIoControl.InputBufferLength = inLength;
  sl->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  TrackPtr t = Track(irp);
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      ULONG size = std::max(inLength, outLength);
      if (size) {
        t->systemBuffer = calloc(1, size);
        if (in && inLength) memcpy(t->systemBuffer, in, inLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (out && outLength) {
        irp->Flags |= IRP_INPUT_OPERATION;
        t->copyBackTo = out;
        t->copyBackMax = outLength;
      }
      irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
      irp->UserBuffer = out;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (in && inLength) {
        t->systemBuffer = malloc(inLength);
        memcpy(t->systemBuffer, in, inLength);
        irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (out && outLength) {
        // IN_DIRECT: the device reads the second buffer; OUT_DIRECT: it writes it.
        LOCK_OPERATION op = METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        t->mdl = LockedMdlFor(out, outLength, op);
        irp->MdlAddress = t->mdl;
      }
      break;
    case METHOD_NEITHER:
      sl->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
      irp->UserBuffer = out;
      break;
  }
  return irp;
}

void io::SetCompletionHook(PIRP irp, std::function<void(PIRP)> hook) {
  std::lock_guard<std::mutex> g(gIrpLock);
  if (TrackPtr t = Find(irp)) t->hook = std::move(hook);
}

NTSTATUS SendIrpAndWait(PDEVICE_OBJECT target, PIRP irp, ULONG_PTR* information) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "SendIrpAndWait above PASSIVE_LEVEL", SIM_CALLER());
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  if (information) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  ObDeref(top);
  return status;
}

PIRP AllocatePnpIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(target);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = major;
  sl->MinorFunction = minor;
  return irp;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
  std::lock_guard<std::mutex> g(gIrpLock);
  TrackPtr& slot = gIrps[Irp];
  bool host = slot && slot->hostMemory;
  slot = std::make_shared<IrpTrack>();
  slot->hostMemory = host;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoAllocateIrp above DISPATCH_LEVEL", SIM_CALLER());
  if (StackSize < 1) StackSize = 1;
  USHORT size = IoSizeOfIrp(StackSize);
  auto* irp = static_cast<PIRP>(calloc(1, size));
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    gIrps[irp] = std::make_shared<IrpTrack>();
    gIrps[irp]->hostMemory = true;
  }
  IoInitializeIrp(irp, size, StackSize);
  return irp;
}

void NTAPI IoFreeIrp(PIRP Irp) {
  std::lock_guard<std::mutex> g(gIrpLock);
  TrackPtr t = Find(Irp);
  if (!t || t->freed || !t->hostMemory)
    BugCheck(kDriverVerifierDetectedViolation, kFreeUnknownIrp, (ULONG_PTR)Irp, 0, 0,
             "IoFreeIrp of an IRP that was already freed or not allocated by IoAllocateIrp", SIM_CALLER());
  CountDone(*t, 0x7FFFFFFF);
  ReleaseBuffersLocked(Irp, *t);
  ReleaseLocked(Irp, t);
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  UCHAR flags = Irp->AllocationFlags;
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    if (TrackPtr t = Find(Irp)) CountDone(*t, 0x7FFFFFFF);
  }
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags;
  Irp->IoStatus.Status = Iostatus;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const void* site = SIM_CALLER();
  TrackPtr t;
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    t = Find(Irp);
    if (!t || t->freed)
      BugCheck(kDriverVerifierDetectedViolation, kIrpUnknown, (ULONG_PTR)Irp, 0, 0,
               "IoCallDriver with an IRP that was freed or never allocated", site);
    t->callDepth++;
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0)
    BugCheck(kNoMoreIrpStackLocations, (ULONG_PTR)Irp, 0, 0, 0,
             "IoCallDriver with no stack location left for the device (stack location overrun)", site);
  PIO_STACK_LOCATION sl = --Irp->Tail.Overlay.CurrentStackLocation;
  sl->DeviceObject = DeviceObject;
  int location = Irp->CurrentLocation;
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    t->sentTo.emplace_back(location, DeviceObject);
    ULONGLONG bit = ~(1ull << (location & 63));
    t->poppedMask &= bit;
    t->pendingMask &= bit;
    t->pendingOwed &= bit;
  }
  if (DeviceObjectInfo* info = InfoOf(DeviceObject)) __atomic_add_fetch(&info->outstandingIrps, 1, __ATOMIC_SEQ_CST);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sl->MajorFunction];
  KIRQL before = CurrentIrql();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  if (CurrentIrql() != before)
    BugCheck(kDriverVerifierDetectedViolation, kDispatchIrql, (ULONG_PTR)dispatch, before, CurrentIrql(),
             "dispatch routine returned at a different IRQL than it was called at", (const void*)dispatch);
  std::lock_guard<std::mutex> g(gIrpLock);
  if (status == STATUS_PENDING) {
    // Completion already passed the location: it must have carried the mark. Otherwise the
    // mark may still come (a completion routine passing PendingReturned up), so completion
    // checks it when it gets there.
    ULONGLONG bit = 1ull << (location & 63);
    if (t->poppedMask & bit) {
      if (!(t->pendingMask & bit))
        BugCheck(kDriverVerifierDetectedViolation, kPendingNotMarked, (ULONG_PTR)dispatch, (ULONG_PTR)Irp, 0,
                 "STATUS_PENDING returned without IoMarkIrpPending", (const void*)dispatch);
    } else {
      t->pendingOwed |= bit;
    }
  }
  if (--t->callDepth == 0 && t->freeOnReturn) {
    gIrps.erase(Irp);
    if (t->hostMemory) free(Irp);
  }
  return status;
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  const void* site = SIM_CALLER();
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kDriverVerifierDetectedViolation, kCompletionIrql, (ULONG_PTR)Irp, CurrentIrql(), 0,
             "IoCompleteRequest above DISPATCH_LEVEL (completion routines would run there)", site);
  TrackPtr t;
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    t = Find(Irp);
    if (!t || t->freed)
      BugCheck(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, 0, 0, 0,
               "IRP completed again after its completion freed it", site);
  }
  if (Irp->CurrentLocation > Irp->StackCount)
    BugCheck(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CurrentLocation, 0, 0,
             "IRP completed twice", site);
  if (Irp->IoStatus.Status == STATUS_PENDING)
    BugCheck(kDriverVerifierDetectedViolation, kCompletedPending, (ULONG_PTR)Irp, 0, 0,
             "IRP completed with STATUS_PENDING", site);
  if (Irp->CancelRoutine)
    BugCheck(kCancelStateInCompletedIrp, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CancelRoutine, 0, 0,
             "IRP completed with its cancel routine still set", site);
  for (;;) {
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    int location = Irp->CurrentLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    UCHAR control = sp->Control;
    bool owed;
    {
      std::lock_guard<std::mutex> g(gIrpLock);
      CountDone(*t, Irp->CurrentLocation);
      ULONGLONG bit = 1ull << (location & 63);
      t->poppedMask |= bit;
      if (control & SL_PENDING_RETURNED) t->pendingMask |= bit;
      owed = (t->pendingOwed & bit) != 0;
    }
    if (owed && !(control & SL_PENDING_RETURNED))
      BugCheck(kDriverVerifierDetectedViolation, kPendingNotMarked, (ULONG_PTR)Irp, (ULONG_PTR)location, 0,
               "STATUS_PENDING returned without IoMarkIrpPending", sp->DeviceObject && sp->DeviceObject->DriverObject
                   ? (const void*)sp->DeviceObject->DriverObject->MajorFunction[sp->MajorFunction]
                   : site);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    NTSTATUS st = Irp->IoStatus.Status;
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                              (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    // The location is spent: a stale routine must not run again if the IRP is resent.
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
    if (invoke) {
      PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                                                   : nullptr;
      KIRQL before = CurrentIrql();
      NTSTATUS r = routine(dev, Irp, context);
      if (CurrentIrql() != before)
        BugCheck(kDriverVerifierDetectedViolation, kCompletionIrql, (ULONG_PTR)routine, before, CurrentIrql(),
                 "completion routine returned at a different IRQL than it was called at", (const void*)routine);
      if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount) break;
  }
  if (t->ioManager) PostProcess(Irp, t, PriorityBoost);
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelLock, Irql); }

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const void* site = SIM_CALLER();
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Irp, CurrentIrql(), 0, 0, "IoCancelIrp above DISPATCH_LEVEL", site);
  {
    std::lock_guard<std::mutex> g(gIrpLock);
    TrackPtr t = Find(Irp);
    if (!t || t->freed)
      BugCheck(kDriverVerifierDetectedViolation, kIrpUnknown, (ULONG_PTR)Irp, 0, 0,
               "IoCancelIrp of an IRP that was freed or never allocated", site);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The routine releases the cancel lock itself, at Irp->CancelIrql.
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT dev =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(dev, Irp);
  return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL",
             SIM_CALLER());
  PIRP irp = io::BuildControl(IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
                              OutputBufferLength, InternalDeviceIoControl != FALSE, KernelMode);
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoBuildSynchronousFsdRequest above PASSIVE_LEVEL",
             SIM_CALLER());
  LONGLONG offset = StartingOffset ? StartingOffset->QuadPart : 0;
  PIRP irp = io::BuildReadWrite((UCHAR)MajorFunction, DeviceObject, Buffer, Length, &offset, KernelMode);
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  return irp;
}

PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                         ULONG Length, PLARGE_INTEGER StartingOffset,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoBuildAsynchronousFsdRequest above DISPATCH_LEVEL",
             SIM_CALLER());
  LONGLONG offset = StartingOffset ? StartingOffset->QuadPart : 0;
  PIRP irp = io::BuildReadWrite((UCHAR)MajorFunction, DeviceObject, Buffer, Length, &offset, KernelMode);
  irp->UserIosb = IoStatusBlock;
  // The caller's completion routine frees it (IoFreeIrp also drops our buffers and MDL);
  // if completion reaches the top instead, the I/O manager finishes and frees it.
  return irp;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoAllocateMdl above DISPATCH_LEVEL", SIM_CALLER());
  PMDL mdl = NewMdl(VirtualAddress, Length);
  if (Irp) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* p = &Irp->MdlAddress;
      while (*p) p = &(*p)->Next;
      *p = mdl;
    }
  }
  return mdl;
}

void NTAPI IoFreeMdl(PMDL Mdl) {
  std::lock_guard<std::mutex> g(gIrpLock);
  if (!gMdls.count(Mdl))
    BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)Mdl, 0, "IoFreeMdl of an MDL that was freed or never allocated",
             SIM_CALLER());
  // An IRP built by the I/O manager no longer owns an MDL its caller freed.
  for (auto& [irp, t] : gIrps)
    if (t->mdl == Mdl) t->mdl = nullptr;
  FreeMdlLocked(Mdl);
}

void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "MmProbeAndLockPages above DISPATCH_LEVEL", SIM_CALLER());
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

void NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
    BugCheck(kDriverVerifierDetectedViolation, 0x1210, (ULONG_PTR)MemoryDescriptorList, 0, 0,
             "MmUnlockPages of an MDL whose pages are not locked", SIM_CALLER());
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
    BugCheck(kDriverVerifierDetectedViolation, 0x1211, (ULONG_PTR)MemoryDescriptorList, 0, 0,
             "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked", SIM_CALLER());
  // Host memory is one address space: the system address is the buffer itself.
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return MemoryDescriptorList->MappedSystemVa;
}

}  // extern "C"
