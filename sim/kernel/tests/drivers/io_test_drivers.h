// Test drivers for the I/O manager tests, linked into the test executable as builtin
// images: a lower device that serves requests in a way each test chooses (complete,
// pend with a cancel routine, or break one rule), and a filter above it.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace iotest {

inline constexpr ULONG kLeakTag = 'L' | ('e' << 8) | ('a' << 16) | ((ULONG)'k' << 24);  // "Leak"
inline constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

// What the lower device does with the next requests.
enum class Lower {
  Complete,            // completes with `status`, moving data per the buffering method
  Pend,                // marks pending, sets a cancel routine, queues the IRP
  CompleteTwice,       // rule breakers, one per verifier rule
  PendWithoutMark,
  CompleteWithPending,
  LeaveCancelRoutine,
  ReturnAtDispatch,
  PendAndDelete,
};

struct Script {
  Lower lower = Lower::Complete;
  NTSTATUS status = STATUS_SUCCESS;
  // What the lower device saw.
  std::vector<UCHAR> written;       // bytes of the last write / control input
  std::vector<UCHAR> lastCreateEa;  // system buffer of the last create (first bytes)
  std::atomic<int> creates{0}, cleanups{0}, closes{0}, cancels{0};
  std::vector<PIRP> queue;          // pended IRPs (guarded by the cancel spin lock)
  PDEVICE_OBJECT lowerDevice = nullptr;
  PDEVICE_OBJECT upperDevice = nullptr;
  // Filter: pass down with a completion routine using these flags, or skip the location.
  bool filterSkip = true;
  bool invokeSuccess = false, invokeError = false, invokeCancel = false;
  std::atomic<int> completionCalls{0};
  PDEVICE_OBJECT completionDevice = nullptr;
  bool leakOnUnload = false;
  PVOID leaked = nullptr;
  // How the last read, write or control request reached the lower device.
  PVOID seenSystemBuffer = nullptr, seenUserBuffer = nullptr, seenType3 = nullptr;
  PMDL seenMdl = nullptr;
  PFILE_OBJECT seenFileObject = nullptr;
  std::vector<WCHAR> seenFileName;
  KPROCESSOR_MODE seenMode = KernelMode;
};

inline Script& S() {
  static Script s;
  return s;
}

inline void Reset() {
  Script& s = S();
  s.lower = Lower::Complete;
  s.status = STATUS_SUCCESS;
  s.written.clear();
  s.lastCreateEa.clear();
  s.creates = s.cleanups = s.closes = s.cancels = 0;
  s.queue.clear();
  s.lowerDevice = s.upperDevice = nullptr;
  s.filterSkip = true;
  s.invokeSuccess = s.invokeError = s.invokeCancel = false;
  s.completionCalls = 0;
  s.completionDevice = nullptr;
  s.leakOnUnload = false;
  s.leaked = nullptr;
  s.seenSystemBuffer = s.seenUserBuffer = s.seenType3 = nullptr;
  s.seenMdl = nullptr;
  s.seenFileObject = nullptr;
  s.seenFileName.clear();
}

// The data buffer of a request as the device's buffering method presents it.
inline UCHAR* DataBuffer(PDEVICE_OBJECT dev, PIRP irp) {
  if (dev->Flags & DO_BUFFERED_IO) return static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  if (dev->Flags & DO_DIRECT_IO)
    return irp->MdlAddress ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                           : nullptr;
  return static_cast<UCHAR*>(irp->UserBuffer);
}

// Control requests: the input as seen by the driver, and the output buffer to fill.
inline void ControlBuffers(PIRP irp, const UCHAR** in, UCHAR** out) {
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  switch (METHOD_FROM_CTL_CODE(sl->Parameters.DeviceIoControl.IoControlCode)) {
    case METHOD_BUFFERED:
      *in = *out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      *in = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      *out = irp->MdlAddress ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                             : nullptr;
      break;
    default:
      *in = static_cast<const UCHAR*>(sl->Parameters.DeviceIoControl.Type3InputBuffer);
      *out = static_cast<UCHAR*>(irp->UserBuffer);
  }
}

inline void LowerCancel(PDEVICE_OBJECT, PIRP irp) {
  auto& q = S().queue;
  for (size_t i = 0; i < q.size(); i++)
    if (q[i] == irp) {
      q.erase(q.begin() + (long)i);
      break;
    }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  S().cancels++;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes a pended IRP from outside (another thread, a test) unless cancel got it first.
inline bool CompletePended(PIRP irp, NTSTATUS status) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  auto& q = S().queue;
  bool found = false;
  for (size_t i = 0; i < q.size(); i++)
    if (q[i] == irp) {
      q.erase(q.begin() + (long)i);
      found = true;
      break;
    }
  if (found && IoSetCancelRoutine(irp, nullptr) == nullptr) found = false;  // cancel is running
  IoReleaseCancelSpinLock(irql);
  if (!found) return false;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

inline PIRP FirstPended() {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = S().queue.empty() ? nullptr : S().queue.front();
  IoReleaseCancelSpinLock(irql);
  return irp;
}

inline NTSTATUS LowerDispatch(PDEVICE_OBJECT dev, PIRP irp) {
  Script& s = S();
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  s.seenFileObject = sl->FileObject;
  s.seenMode = irp->RequestorMode;
  switch (sl->MajorFunction) {
    case IRP_MJ_CREATE:
      s.creates++;
      if (sl->FileObject)
        s.seenFileName.assign(sl->FileObject->FileName.Buffer,
                              sl->FileObject->FileName.Buffer + sl->FileObject->FileName.Length / sizeof(WCHAR));
      if (irp->AssociatedIrp.SystemBuffer && sl->Parameters.Create.EaLength) {
        auto* ea = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        s.lastCreateEa.assign(ea, ea + sl->Parameters.Create.EaLength);
        ea[0] = 0x5A;  // the lower driver fills the record in, as the bus does
      }
      break;
    case IRP_MJ_CLEANUP: s.cleanups++; break;
    case IRP_MJ_CLOSE: s.closes++; break;
    default: break;
  }
  if (sl->MajorFunction == IRP_MJ_CREATE || sl->MajorFunction == IRP_MJ_CLEANUP ||
      sl->MajorFunction == IRP_MJ_CLOSE) {
    irp->IoStatus.Status = s.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return s.status;
  }
  switch (s.lower) {
    case Lower::Pend:
    case Lower::PendAndDelete: {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, LowerCancel);
      s.queue.push_back(irp);
      IoReleaseCancelSpinLock(irql);
      if (s.lower == Lower::PendAndDelete) IoDeleteDevice(dev);
      return STATUS_PENDING;
    }
    case Lower::PendWithoutMark:
      s.queue.push_back(irp);
      return STATUS_PENDING;
    case Lower::CompleteWithPending:
      irp->IoStatus.Status = STATUS_PENDING;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case Lower::LeaveCancelRoutine:
      IoSetCancelRoutine(irp, LowerCancel);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case Lower::ReturnAtDispatch: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    default: break;
  }
  ULONG_PTR info = 0;
  s.seenSystemBuffer = irp->AssociatedIrp.SystemBuffer;
  s.seenUserBuffer = irp->UserBuffer;
  s.seenMdl = irp->MdlAddress;
  s.seenType3 = sl->MajorFunction == IRP_MJ_DEVICE_CONTROL ? sl->Parameters.DeviceIoControl.Type3InputBuffer : nullptr;
  if (sl->MajorFunction == IRP_MJ_READ) {
    UCHAR* buf = DataBuffer(dev, irp);
    for (ULONG i = 0; buf && i < sl->Parameters.Read.Length; i++) buf[i] = (UCHAR)('a' + i % 26);
    info = sl->Parameters.Read.Length;
  } else if (sl->MajorFunction == IRP_MJ_WRITE) {
    UCHAR* buf = DataBuffer(dev, irp);
    s.written.assign(buf, buf + (buf ? sl->Parameters.Write.Length : 0));
    info = sl->Parameters.Write.Length;
  } else if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL || sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    const UCHAR* in;
    UCHAR* out;
    ControlBuffers(irp, &in, &out);
    ULONG inLen = sl->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = sl->Parameters.DeviceIoControl.OutputBufferLength;
    s.written.assign(in, in + (in ? inLen : 0));
    // The answer is the input, each byte plus one, repeated over the output.
    for (ULONG i = 0; out && inLen && i < outLen; i++) out[i] = (UCHAR)(s.written[i % inLen] + 1);
    info = outLen;
  }
  irp->IoStatus.Status = s.status;
  irp->IoStatus.Information = NT_SUCCESS(s.status) ? info : 0;
  if (s.lower == Lower::CompleteTwice) IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return s.status;
}

inline NTSTATUS FilterCompletion(PDEVICE_OBJECT dev, PIRP irp, PVOID) {
  S().completionCalls++;
  S().completionDevice = dev;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;  // continue completion
}

inline NTSTATUS UpperDispatch(PDEVICE_OBJECT dev, PIRP irp) {
  Script& s = S();
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(dev->DeviceExtension);
  if (s.filterSkip) {
    IoSkipCurrentIrpStackLocation(irp);
  } else {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterCompletion, nullptr, s.invokeSuccess, s.invokeError, s.invokeCancel);
  }
  return IoCallDriver(lower, irp);
}

inline void LowerUnload(PDRIVER_OBJECT) {
  if (S().lowerDevice) IoDeleteDevice(S().lowerDevice);
  S().lowerDevice = nullptr;
}

inline NTSTATUS LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; mj++) driver->MajorFunction[mj] = LowerDispatch;
  driver->DriverUnload = LowerUnload;
  return STATUS_SUCCESS;
}

inline void UpperUnload(PDRIVER_OBJECT) {
  if (S().leaked) return;  // leaves its pool behind on purpose
}

inline NTSTATUS UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; mj++) driver->MajorFunction[mj] = UpperDispatch;
  driver->DriverUnload = UpperUnload;
  if (S().leakOnUnload) S().leaked = ExAllocatePoolWithTag(NonPagedPool, 48, kLeakTag);
  return STATUS_SUCCESS;
}

}  // namespace iotest
