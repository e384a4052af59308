// Host side of the I/O manager: opening devices by name and moving data through handles
// the way the Win32 layer needs, sending IRPs from the PnP and power managers, reading
// the system event log and the device interface lists, and the machine's version.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "nt/io.h"
#include "object.h"

namespace sim::kernel {

// ---- Files and handles -------------------------------------------------------------------
// Opens a device by its object name: "\Device\Q93KUsbDevice0", "\??\COM5", "\DosDevices\COM5",
// "\GLOBAL??\COM5", or a device interface link with an optional "\reference" tail. Symbolic
// links are resolved at open time; whatever follows the device name becomes the file
// object's FileName. Sends IRP_MJ_CREATE to the top of the device's stack and waits for it.
// With an EA buffer the create request carries it as Irp->AssociatedIrp.SystemBuffer: the
// caller's own buffer in kernel mode (drivers pass records down this way and read back
// what the lower driver filled in), a copy in user mode.
// Fails with STATUS_OBJECT_NAME_NOT_FOUND (no such name), STATUS_ACCESS_DENIED (an exclusive
// device already open), STATUS_DELETE_PENDING (removal of the device in progress),
// STATUS_NO_SUCH_DEVICE (device deleted or still initializing), or the driver's status.
NTSTATUS OpenFile(std::string_view path, ACCESS_MASK access, KPROCESSOR_MODE mode, const void* eaBuffer,
                  ULONG eaLength, HANDLE* out);
// Closes a handle from OpenFile: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE when the last reference
// to the file object goes (at once unless a driver still holds the file object).
NTSTATUS CloseHandle(HANDLE handle);
// The file object behind a handle, referenced (ObDereferenceObject when done), or null.
PFILE_OBJECT FileObjectOf(HANDLE handle);

// How a read, write or control request completes for its caller. Synchronous when
// `event` is null: the call waits and returns the final status. Asynchronous otherwise:
// the call returns the driver's status (STATUS_PENDING while in flight); when the request
// completes, *iosb holds the final status and information and `event` is set. The caller
// keeps `iosb`, `event` and the buffers valid until then.
struct AsyncIo {
  PKEVENT event = nullptr;
  PIO_STATUS_BLOCK iosb = nullptr;
};
// `offset` null means the file's current position (devices ignore it).
NTSTATUS Read(HANDLE handle, void* buffer, ULONG length, const LONGLONG* offset, ULONG_PTR* transferred,
              AsyncIo async = {});
NTSTATUS Write(HANDLE handle, const void* buffer, ULONG length, const LONGLONG* offset, ULONG_PTR* transferred,
               AsyncIo async = {});
// IRP_MJ_DEVICE_CONTROL with the buffering of the code's method: METHOD_BUFFERED copies in
// and out through one system buffer; METHOD_IN/OUT_DIRECT pass the input as system buffer
// and the output by MDL; METHOD_NEITHER passes both user addresses as they are.
NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* transferred, AsyncIo async = {});
// Cancels the calling thread's requests in flight on the handle (IoCancelIrp on each);
// returns STATUS_NOT_FOUND when there were none.
NTSTATUS CancelIo(HANDLE handle);

// ---- For the PnP and power managers --------------------------------------------------------
// Sends `irp` (its next stack location already set up by the caller) to the top of the
// stack holding `target`, waits for completion and frees the IRP. Returns the final
// status; *information gets IoStatus.Information. Call at PASSIVE_LEVEL.
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT target, PIRP irp, ULONG_PTR* information);
// Allocates an IRP for the top of `target`'s stack with IoStatus = STATUS_NOT_SUPPORTED, as
// the PnP manager sends its requests, and sets the next location's major/minor.
PIRP AllocatePnpIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor);
// Device objects of a driver, first created last (DriverObject->DeviceObject order).
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);
// The device registered under a kernel name ("\Device\..."), or null.
PDEVICE_OBJECT FindDevice(std::string_view name);
// Where a symbolic link points ("\??\COM5" -> "\Device\Q93Ksw0"), empty when no link.
std::string LinkTarget(std::string_view link);

// ---- Device interfaces ---------------------------------------------------------------------
// Symbolic link names ("\??\USB#VID_0FA7&PID_5E19#serial#{guid}") of the enabled interfaces
// of a class; `classGuid` is "{...}" in any case.
std::vector<std::string> EnabledInterfaces(std::string_view classGuid);

// ---- The system event log ------------------------------------------------------------------
struct EventLogEntry {
  std::string source;  // service name of the driver that wrote it ("Q93Ksw")
  std::string device;  // device object name, empty when unnamed or a driver object wrote it
  UCHAR majorFunction = 0;
  UCHAR retryCount = 0;
  USHORT eventCategory = 0;
  NTSTATUS errorCode = 0;
  ULONG uniqueErrorValue = 0;
  NTSTATUS finalStatus = 0;
  ULONG sequenceNumber = 0;
  ULONG ioControlCode = 0;
  std::vector<ULONG> dumpData;
  std::vector<std::string> strings;
  ULONGLONG time = 0;  // virtual time of the write
};
std::vector<EventLogEntry> EventLog();
void ClearEventLog();

// ---- The version the machine pretends to be --------------------------------------------------
// 5.1 (build 2600) unless set; IoIsWdmVersionAvailable answers from it (NT 5.0 -> WDM 1.10,
// 5.1 -> 1.20, 5.2 -> 1.30, 6.0 -> 6.0, 6.1 -> 6.1, later -> 6.x as the OS).
void SetNtVersion(ULONG major, ULONG minor, ULONG build);
void GetNtVersion(ULONG* major, ULONG* minor, ULONG* build);

// ---- Shared by the I/O manager's own files -----------------------------------------------------
namespace io {

// Serialises the object namespace, device stacks and per-device counters. Never held
// while calling into a driver.
std::recursive_mutex& Lock();

// The driver object with what the loader and the I/O manager keep beside it.
struct DriverBody {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::string service;
  std::vector<WCHAR> nameBuffer, serviceBuffer, registryPathBuffer;
  UNICODE_STRING registryPath;
  void* handle = nullptr;  // dlopen handle, null for a builtin image
  const void* base = nullptr;  // what the image was registered under
  std::string imageName;       // "Q93Kus.sys"
  bool unloaded = false;
  // Device objects of this driver already deleted whose memory still exists (a file object
  // or an attachment references them); the image stays mapped meanwhile.
  std::atomic<int> deletedDevices{0};
  bool unloadPending = false;
};
inline DriverBody* BodyOf(PDRIVER_OBJECT d) { return reinterpret_cast<DriverBody*>(d); }
extern const ObjectType kDeviceType, kDriverType, kFileType;
// Forgets the previous machine's I/O state when a new boot is seen; every entry point
// calls it first.
void SyncBoot();
std::string Upper(std::string_view s);
std::string Utf8(PCUNICODE_STRING s);
// Allocates a UNICODE_STRING buffer from host memory (freed with FreeHostString).
void MakeHostString(PUNICODE_STRING out, std::string_view text);
void FreeHostString(PUNICODE_STRING s);
// Canonical name for the namespace: "\??\X" and "\DosDevices\X" become "\GLOBAL??\X".
std::string CanonicalName(std::string_view name);
// Resolves links and finds the device whose name is the longest prefix of `path`; the rest
// goes to *remainder. Returns a referenced device or null.
PDEVICE_OBJECT ResolveDevice(std::string_view path, std::string* remainder);
std::string DeviceName(PDEVICE_OBJECT device);
// The service name of a driver object ("Q93Ksw").
std::string ServiceOf(PDRIVER_OBJECT driver);
PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device);
// Sets up the driver object's defaults (every major rejected) and its name.
void InitDriverObject(PDRIVER_OBJECT driver, std::string_view service);
PDRIVER_OBJECT NewDriverObject(std::string_view service, PUNICODE_STRING* registryPath);
// Called by the loader after DriverEntry: devices created there are ready.
void FinishDriverInit(PDRIVER_OBJECT driver);
// IRPs the I/O manager builds: at completion it copies buffered output back, frees its
// buffers and MDLs, stores IoStatus in UserIosb, runs the hook, sets UserEvent, then
// frees the IRP. Thread and RequestorMode are the caller's.
PIRP BuildReadWrite(UCHAR major, PDEVICE_OBJECT device, void* buffer, ULONG length, const LONGLONG* offset,
                    KPROCESSOR_MODE mode);
PIRP BuildControl(ULONG code, PDEVICE_OBJECT device, const void* in, ULONG inLength, void* out, ULONG outLength,
                  bool internal, KPROCESSOR_MODE mode);
void SetCompletionHook(PIRP irp, std::function<void(PIRP)> hook);
// Runs host work at PASSIVE_LEVEL on the I/O worker thread (what Windows does in APCs and
// system worker threads for work that arrives at DISPATCH_LEVEL).
void PostPassive(std::function<void()> work);
// Returns once the I/O worker has nothing left to do.
void WaitWorkerIdle();
// Callbacks into the per-boot state of the other files.
void ResetIrps();
void ResetFiles();
void ResetSupport();
void ResetInterfaces();

}  // namespace io
}  // namespace sim::kernel
