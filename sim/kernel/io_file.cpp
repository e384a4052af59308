// File objects and handles: open by name through links, create/cleanup/close requests,
// reads, writes and control requests built per buffering method, and CancelIo over the
// list of each file's requests in flight.
#include <algorithm>
#include <cstring>
#include <list>

#include "devnode.h"
#include "internal.h"
#include "io.h"
#include "pnp.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

struct FileBody {
  FILE_OBJECT object;
  std::vector<WCHAR> nameBuffer;
  bool opened = false;  // IRP_MJ_CREATE succeeded: a close is owed
  std::list<std::pair<PIRP, PKTHREAD>> inFlight;
};

std::recursive_mutex gFileLock;

constexpr ACCESS_MASK kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr ACCESS_MASK kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA;

NTSTATUS SendFileRequest(PFILE_OBJECT fo, UCHAR major, KPROCESSOR_MODE mode, ULONG_PTR* info = nullptr,
                         PIO_SECURITY_CONTEXT security = nullptr, PVOID systemBuffer = nullptr, ULONG eaLength = 0) {
  PIRP irp = AllocatePnpIrp(fo->DeviceObject, major, 0);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->RequestorMode = mode;
  irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : 0) |
               (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
  irp->Tail.Overlay.OriginalFileObject = fo;
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->FileObject = fo;
  if (major == IRP_MJ_CREATE) {
    sl->Parameters.Create.SecurityContext = security;
    sl->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    sl->Parameters.Create.EaLength = eaLength;
  }
  return SendIrpAndWait(fo->DeviceObject, irp, info);
}

void DestroyFile(void* body) {
  auto* fb = static_cast<FileBody*>(body);
  PDEVICE_OBJECT dev = fb->object.DeviceObject;
  // At shutdown every object goes at once: no requests, no cross references.
  if (gSched.booted && dev) {
    if (fb->opened) SendFileRequest(&fb->object, IRP_MJ_CLOSE, KernelMode);
    {
      std::lock_guard<std::recursive_mutex> g(io::Lock());
      if (DeviceObjectInfo* info = InfoOf(dev)) info->openHandles--;
      dev->ReferenceCount--;
    }
    // A surprise-removed stack gets its REMOVE_DEVICE once its last handle is gone.
    pnp::NotifyHandleClosed(dev);
    ObDeref(dev);
  }
  ObDestroy<FileBody>(body);
}

bool RemovalInProgress(PDEVICE_OBJECT dev) {
  DeviceNode* node = NodeOfStack(dev);
  if (!node) return false;
  return node->state == NodeState::RemovePending || node->state == NodeState::SurpriseRemoved ||
         node->state == NodeState::Removed;
}

using Builder = std::function<PIRP(PDEVICE_OBJECT top, KPROCESSOR_MODE mode)>;

NTSTATUS Submit(HANDLE handle, ACCESS_MASK needed, const Builder& build, ULONG_PTR* transferred, AsyncIo async) {
  if (transferred) *transferred = 0;
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "file I/O above PASSIVE_LEVEL", SIM_CALLER());
  void* body = nullptr;
  ACCESS_MASK granted = 0;
  bool userHandle = false;
  NTSTATUS st = HandleReference(handle, &io::kFileType, &body, &granted, &userHandle);
  if (!NT_SUCCESS(st)) return st;
  auto* fb = static_cast<FileBody*>(body);
  KPROCESSOR_MODE mode = userHandle ? UserMode : KernelMode;
  if (mode == UserMode && needed && !(granted & needed)) {
    ObDeref(body);
    return STATUS_ACCESS_DENIED;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(fb->object.DeviceObject);
  PIRP irp = build(top, mode);
  IoGetNextIrpStackLocation(irp)->FileObject = &fb->object;
  irp->Tail.Overlay.OriginalFileObject = &fb->object;
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  if (async.event) {
    KeClearEvent(async.event);
    irp->UserEvent = async.event;
    irp->UserIosb = async.iosb;
  } else {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->Flags |= IRP_SYNCHRONOUS_API;
  }
  {
    std::lock_guard<std::recursive_mutex> g(gFileLock);
    fb->inFlight.emplace_back(irp, CurrentThread());
  }
  // The request holds the file object (the handle reference taken above) until it completes.
  io::SetCompletionHook(irp, [fb](PIRP done) {
    {
      std::lock_guard<std::recursive_mutex> g(gFileLock);
      fb->inFlight.remove_if([done](const std::pair<PIRP, PKTHREAD>& e) { return e.first == done; });
    }
    // Windows drops the request's file reference in the requester's completion APC, at
    // or below APC_LEVEL; the last reference sends IRP_MJ_CLOSE, which must not come
    // from a DPC.
    if (CurrentIrql() > PASSIVE_LEVEL)
      io::PostPassive([fb] { ObDeref(fb); });
    else
      ObDeref(fb);
  });
  st = IoCallDriver(top, irp);
  ObDeref(top);
  if (!async.event) {
    if (st == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    st = iosb.Status;
    if (transferred) *transferred = iosb.Information;
  } else if (st != STATUS_PENDING && async.iosb && transferred) {
    *transferred = async.iosb->Information;
  }
  return st;
}

}  // namespace

const ObjectType io::kFileType{"File", DestroyFile};

void io::ResetFiles() {}

NTSTATUS OpenFile(std::string_view path, ACCESS_MASK access, KPROCESSOR_MODE mode, const void* eaBuffer,
                  ULONG eaLength, HANDLE* out) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "OpenFile above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  std::string rest;
  PDEVICE_OBJECT dev = io::ResolveDevice(path, &rest);
  if (!dev) return STATUS_OBJECT_NAME_NOT_FOUND;
  NTSTATUS st = STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> g(io::Lock());
    DeviceObjectInfo* info = InfoOf(dev);
    if (!info || info->deletePending || (dev->Flags & DO_DEVICE_INITIALIZING)) {
      st = STATUS_NO_SUCH_DEVICE;
    } else if (RemovalInProgress(dev)) {
      st = STATUS_DELETE_PENDING;
    } else if ((dev->Flags & DO_EXCLUSIVE) && dev->ReferenceCount > 0) {
      // Refused before the driver sees a second open.
      st = STATUS_ACCESS_DENIED;
    } else {
      info->openHandles++;
      dev->ReferenceCount++;
    }
  }
  if (!NT_SUCCESS(st)) {
    ObDeref(dev);
    return st;
  }
  auto* fb = ObNew<FileBody>(&io::kFileType);
  PFILE_OBJECT fo = &fb->object;
  fo->Type = IO_TYPE_FILE;
  fo->Size = sizeof(FILE_OBJECT);
  fo->DeviceObject = dev;  // the reference from the name lookup
  fo->ReadAccess = (access & kReadRights) != 0;
  fo->WriteAccess = (access & kWriteRights) != 0;
  fb->nameBuffer = registry::FromUtf8(rest);
  fo->FileName.Length = (USHORT)(fb->nameBuffer.size() * sizeof(WCHAR));
  fb->nameBuffer.push_back(0);
  fo->FileName.MaximumLength = (USHORT)(fb->nameBuffer.size() * sizeof(WCHAR));
  fo->FileName.Buffer = fb->nameBuffer.data();
  KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
  KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = access;
  // A user-mode caller's EA buffer is captured; a kernel caller's record is passed as it is.
  std::vector<uint8_t> captured;
  PVOID ea = const_cast<void*>(eaBuffer);
  if (eaBuffer && mode == UserMode) {
    captured.assign(static_cast<const uint8_t*>(eaBuffer), static_cast<const uint8_t*>(eaBuffer) + eaLength);
    ea = captured.data();
  }
  st = SendFileRequest(fo, IRP_MJ_CREATE, mode, nullptr, &security, eaBuffer ? ea : nullptr, eaBuffer ? eaLength : 0);
  if (!NT_SUCCESS(st)) {
    ObDeref(fo);  // no close is sent for a failed open
    return st;
  }
  fb->opened = true;
  *out = HandleInsert(fo, access, mode == UserMode);
  ObDeref(fo);  // the handle holds the object now
  return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "CloseHandle above PASSIVE_LEVEL", SIM_CALLER());
  void* body = nullptr;
  bool userHandle = false;
  NTSTATUS st = HandleReference(handle, &io::kFileType, &body, nullptr, &userHandle);
  if (!NT_SUCCESS(st)) return st;
  HandleClose(handle);
  auto* fb = static_cast<FileBody*>(body);
  SendFileRequest(&fb->object, IRP_MJ_CLEANUP, userHandle ? UserMode : KernelMode);
  ObDeref(body);
  return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
  void* body = nullptr;
  if (!NT_SUCCESS(HandleReference(handle, &io::kFileType, &body))) return nullptr;
  return &static_cast<FileBody*>(body)->object;
}

NTSTATUS Read(HANDLE handle, void* buffer, ULONG length, const LONGLONG* offset, ULONG_PTR* transferred,
              AsyncIo async) {
  return Submit(
      handle, kReadRights,
      [&](PDEVICE_OBJECT top, KPROCESSOR_MODE mode) {
        return io::BuildReadWrite(IRP_MJ_READ, top, buffer, length, offset, mode);
      },
      transferred, async);
}

NTSTATUS Write(HANDLE handle, const void* buffer, ULONG length, const LONGLONG* offset, ULONG_PTR* transferred,
               AsyncIo async) {
  return Submit(
      handle, kWriteRights,
      [&](PDEVICE_OBJECT top, KPROCESSOR_MODE mode) {
        return io::BuildReadWrite(IRP_MJ_WRITE, top, const_cast<void*>(buffer), length, offset, mode);
      },
      transferred, async);
}

NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* transferred, AsyncIo async) {
  // The access bits of the code say what the handle must have been opened for.
  ULONG bits = (code >> 14) & 3;
  ACCESS_MASK needed = ((bits & FILE_READ_ACCESS) ? kReadRights : 0);
  ACCESS_MASK neededWrite = ((bits & FILE_WRITE_ACCESS) ? kWriteRights : 0);
  return Submit(
      handle, needed | neededWrite,
      [&](PDEVICE_OBJECT top, KPROCESSOR_MODE mode) {
        return io::BuildControl(code, top, in, inLength, out, outLength, false, mode);
      },
      transferred, async);
}

NTSTATUS CancelIo(HANDLE handle) {
  void* body = nullptr;
  NTSTATUS st = HandleReference(handle, &io::kFileType, &body);
  if (!NT_SUCCESS(st)) return st;
  auto* fb = static_cast<FileBody*>(body);
  PKTHREAD me = CurrentThread();
  bool any = false;
  {
    // Held across the cancel calls so no request of the list completes and goes away
    // between being picked and being cancelled (completion takes this lock too).
    std::lock_guard<std::recursive_mutex> g(gFileLock);
    std::vector<PIRP> mine;
    for (auto& [irp, thread] : fb->inFlight)
      if (thread == me) mine.push_back(irp);
    for (PIRP irp : mine) {
      bool still = std::any_of(fb->inFlight.begin(), fb->inFlight.end(),
                               [irp](const std::pair<PIRP, PKTHREAD>& e) { return e.first == irp; });
      if (!still) continue;
      any = true;
      IoCancelIrp(irp);
    }
  }
  ObDeref(body);
  return any ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

POBJECT_TYPE IoFileObjectTypeVar = (POBJECT_TYPE)&io::kFileType;
POBJECT_TYPE* IoFileObjectType = &IoFileObjectTypeVar;

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
  HANDLE h = nullptr;
  NTSTATUS st = OpenFile(io::Utf8(ObjectName), DesiredAccess, KernelMode, nullptr, 0, &h);
  if (!NT_SUCCESS(st)) return st;
  PFILE_OBJECT fo = FileObjectOf(h);
  CloseHandle(h);  // the reference kept below holds the open; its close comes with the last dereference
  *FileObject = fo;
  *DeviceObject = IoGetRelatedDeviceObject(fo);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  return IoGetAttachedDevice(FileObject->DeviceObject);
}

}  // extern "C"
