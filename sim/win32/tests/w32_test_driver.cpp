// The serial-like test driver of the kernel32 tests: dispatch routines, the pended
// request list with its cancel routine, and the host-side helpers that steer it.
#include "w32_test_driver.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "image.h"
#include "registry.h"

namespace w32test {
namespace {

PDEVICE_OBJECT gDevice = nullptr;
std::deque<PIRP> gPending;  // under the cancel spin lock

UNICODE_STRING Us(const wchar_t* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void CancelPending(PDEVICE_OBJECT, PIRP irp) {
  gPending.erase(std::remove(gPending.begin(), gPending.end(), irp), gPending.end());
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Pend(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelPending);
  gPending.push_back(irp);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void Record(UCHAR major, ULONG code, const void* in, ULONG inLength, ULONG outLength) {
  Request r;
  r.major = major;
  r.code = code;
  if (in && inLength) r.in.assign(static_cast<const UCHAR*>(in), static_cast<const UCHAR*>(in) + inLength);
  r.outLength = outLength;
  std::lock_guard<std::mutex> g(S().lock);
  S().log.push_back(std::move(r));
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  {
    std::lock_guard<std::mutex> g(S().lock);
    if (major == IRP_MJ_CREATE) S().creates++;
    if (major == IRP_MJ_CLEANUP) S().cleanups++;
    if (major == IRP_MJ_CLOSE) S().closes++;
  }
  if (major == IRP_MJ_CLEANUP) {
    // A serial port ends every request of the handle being closed.
    for (;;) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      PIRP p = nullptr;
      for (PIRP q : gPending)
        if (IoGetCurrentIrpStackLocation(q)->FileObject == IoGetCurrentIrpStackLocation(irp)->FileObject &&
            IoSetCancelRoutine(q, nullptr)) {
          p = q;
          break;
        }
      if (p) gPending.erase(std::find(gPending.begin(), gPending.end(), p));
      IoReleaseCancelSpinLock(irql);
      if (!p) break;
      Complete(p, STATUS_CANCELLED, 0);
    }
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  Record(IRP_MJ_READ, 0, nullptr, 0, length);
  std::unique_lock<std::mutex> g(S().lock);
  if (!S().readData.empty()) {
    ULONG n = std::min<ULONG>(length, (ULONG)S().readData.size());
    memcpy(irp->AssociatedIrp.SystemBuffer, S().readData.data(), n);
    S().readData.erase(0, n);
    NTSTATUS st = S().readStatus;
    g.unlock();
    return Complete(irp, st, n);
  }
  if (S().readStatus != STATUS_SUCCESS) {
    NTSTATUS st = S().readStatus;
    g.unlock();
    return Complete(irp, st, 0);
  }
  g.unlock();
  return Pend(irp);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  Record(IRP_MJ_WRITE, 0, irp->AssociatedIrp.SystemBuffer, length, 0);
  return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = sl->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = sl->Parameters.DeviceIoControl.OutputBufferLength;
  Record(IRP_MJ_DEVICE_CONTROL, code, irp->AssociatedIrp.SystemBuffer, inLength, outLength);
  std::unique_lock<std::mutex> g(S().lock);
  if (auto f = S().fail.find(code); f != S().fail.end()) {
    NTSTATUS st = f->second;
    g.unlock();
    return Complete(irp, st, 0);
  }
  if (std::find(S().pendCodes.begin(), S().pendCodes.end(), code) != S().pendCodes.end()) {
    g.unlock();
    return Pend(irp);
  }
  auto a = S().answers.find(code);
  if (a == S().answers.end()) {
    g.unlock();
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  std::vector<UCHAR> answer = a->second;
  g.unlock();
  if (outLength < answer.size()) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(irp->AssociatedIrp.SystemBuffer, answer.data(), answer.size());
  return Complete(irp, STATUS_SUCCESS, answer.size());
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = Unload;
  UNICODE_STRING name = Us(L"\\Device\\W32Test0"), link = Us(L"\\DosDevices\\COM9");
  NTSTATUS st = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &gDevice);
  if (!NT_SUCCESS(st)) return st;
  gDevice->Flags |= DO_BUFFERED_IO;
  gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

}  // namespace

Script& S() {
  static Script s;
  return s;
}

std::vector<Request> Log() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().log;
}

std::vector<ULONG> Codes() {
  std::vector<ULONG> codes;
  for (const Request& r : Log())
    if (r.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(r.code);
  return codes;
}

void ClearLog() {
  std::lock_guard<std::mutex> g(S().lock);
  S().log.clear();
}

NTSTATUS Install() {
  {
    Script& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.log.clear();
    s.readData.clear();
    s.readStatus = STATUS_SUCCESS;
    s.answers.clear();
    s.fail.clear();
    s.pendCodes.clear();
    s.creates = s.cleanups = s.closes = 0;
  }
  gPending.clear();
  gDevice = nullptr;
  const std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\W32Test";
  sim::kernel::registry::SetString(key, "ImagePath", "\\SystemRoot\\System32\\drivers\\W32Test.sys", REG_EXPAND_SZ);
  sim::kernel::registry::SetDword(key, "Type", 1);
  sim::kernel::registry::SetDword(key, "Start", 3);
  sim::kernel::RegisterBuiltinImage("W32Test", Entry);
  PDRIVER_OBJECT driver = nullptr;
  return sim::kernel::LoadDriver("W32Test", &driver);
}

void Remove() {
  if (!gDevice) return;
  UNICODE_STRING link = Us(L"\\DosDevices\\COM9");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(gDevice);
  gDevice = nullptr;
}

size_t PendingCount() {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  size_t n = gPending.size();
  IoReleaseCancelSpinLock(irql);
  return n;
}

bool CompletePending(const std::string& data, NTSTATUS status) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (gPending.empty() || !IoSetCancelRoutine(gPending.front(), nullptr)) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  PIRP irp = gPending.front();
  gPending.pop_front();
  IoReleaseCancelSpinLock(irql);
  memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), data.size());
  Complete(irp, status, data.size());
  return true;
}

}  // namespace w32test
