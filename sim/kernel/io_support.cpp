// I/O manager services around the requests: remove locks, work items on a system worker
// thread, the error log captured into the system event log, the configuration counters
// and the version of Windows the machine answers with.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "io.h"
#include "kernel.h"
#include "registry.h"
#include "verifier.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace sim::kernel {
namespace {

struct ErrorEntry {
  PVOID source;
  size_t size;
};

struct Support {
  std::mutex lock;
  std::unordered_map<void*, ErrorEntry> errorEntries;  // allocated, not yet written or freed
  std::vector<EventLogEntry> log;
  ULONG sequence = 0;
  std::unordered_set<PIO_WORKITEM> workItems;
  std::deque<PIO_WORKITEM> queue;
  std::deque<std::function<void()>> posts;  // host work that must run at PASSIVE_LEVEL
  bool workerRunning = false;
  CONFIGURATION_INFORMATION config{};
  ULONG major = 5, minor = 1, build = 2600;
};

Support& S() {
  static Support s;
  return s;
}

void WorkerLoop() {
  SetThreadName("io worker");
  for (;;) {
    PIO_WORKITEM item;
    std::function<void()> post;
    {
      std::lock_guard<std::mutex> g(S().lock);
      if (!S().posts.empty()) {
        post = std::move(S().posts.front());
        S().posts.pop_front();
      } else if (S().queue.empty()) {
        S().workerRunning = false;
        return;
      }
    }
    if (post) {
      CurrentIrql() = PASSIVE_LEVEL;
      post();
      continue;
    }
    {
      std::lock_guard<std::mutex> g(S().lock);
      if (S().queue.empty()) continue;
      item = S().queue.front();
      S().queue.pop_front();
      // The routine may queue the item again or free it.
      item->queued = false;
    }
    PDEVICE_OBJECT dev = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    CurrentIrql() = PASSIVE_LEVEL;
    routine(dev, context);
    if (CurrentIrql() != PASSIVE_LEVEL)
      BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)routine, CurrentIrql(), 0, 0,
               "work item routine returned above PASSIVE_LEVEL", (const void*)routine);
    ObDeref(dev);
  }
}

std::string ReadWideString(const UCHAR* p, const UCHAR* end) {
  std::vector<WCHAR> w;
  for (; p + 1 < end; p += 2) {
    WCHAR c;
    memcpy(&c, p, sizeof c);
    if (!c) break;
    w.push_back(c);
  }
  return registry::ToUtf8(w.data(), w.size());
}

}  // namespace

void io::PostPassive(std::function<void()> work) {
  bool start = false;
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().posts.push_back(std::move(work));
    if (!S().workerRunning) start = S().workerRunning = true;
  }
  if (start) StartSimThread("io worker", WorkerLoop).detach();
}

void io::WaitWorkerIdle() {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(S().lock);
      if (!S().workerRunning) return;
    }
    // The worker runs while this thread sleeps in virtual time.
    Sleep(1);
  }
}

void io::ResetSupport() {
  std::lock_guard<std::mutex> g(S().lock);
  for (auto& [p, e] : S().errorEntries) free(p);
  S().errorEntries.clear();
  S().log.clear();
  S().sequence = 0;
  for (PIO_WORKITEM w : S().workItems) delete w;
  S().workItems.clear();
  S().queue.clear();
  S().posts.clear();
  // A worker started for the previous machine may never have run; the new machine starts
  // its own when it first has work.
  S().workerRunning = false;
  S().config = CONFIGURATION_INFORMATION{};
  S().major = 5;
  S().minor = 1;
  S().build = 2600;
}

std::vector<EventLogEntry> EventLog() {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(S().lock);
  return S().log;
}

void ClearEventLog() {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(S().lock);
  S().log.clear();
}

void SetNtVersion(ULONG major, ULONG minor, ULONG build) {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(S().lock);
  S().major = major;
  S().minor = minor;
  S().build = build;
}

void GetNtVersion(ULONG* major, ULONG* minor, ULONG* build) {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(S().lock);
  if (major) *major = S().major;
  if (minor) *minor = S().minor;
  if (build) *build = S().build;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;  // the bias IoReleaseRemoveLockAndWait drops
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

void NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (left < 0)
    BugCheck(kDriverVerifierDetectedViolation, 0x1300, (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, 0,
             "remove lock released more often than acquired", SIM_CALLER());
  if (left == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL",
             SIM_CALLER());
  RemoveLock->Common.Removed = TRUE;
  InterlockedDecrement(&RemoveLock->Common.IoCount);  // the bias
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);  // the caller's own acquisition
  KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoAllocateErrorLogEntry above DISPATCH_LEVEL",
             SIM_CALLER());
  io::SyncBoot();
  if (!IoObject || EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  void* p = calloc(1, EntrySize);
  std::lock_guard<std::mutex> g(S().lock);
  S().errorEntries[p] = ErrorEntry{IoObject, EntrySize};
  return p;
}

void NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
  std::lock_guard<std::mutex> g(S().lock);
  if (!S().errorEntries.erase(ElEntry))
    BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)ElEntry, 0, "error log entry freed twice or never allocated",
             SIM_CALLER());
  free(ElEntry);
}

void NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  ErrorEntry e;
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().errorEntries.find(ElEntry);
    if (it == S().errorEntries.end())
      BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)ElEntry, 0, "error log entry written twice or never allocated",
               SIM_CALLER());
    e = it->second;
    S().errorEntries.erase(it);
  }
  auto* pkt = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
  auto* base = static_cast<const UCHAR*>(ElEntry);
  const UCHAR* end = base + e.size;
  EventLogEntry out;
  const ObjectType* type = ObTypeOf(e.source);
  if (type == &io::kDriverType) {
    out.source = io::ServiceOf(static_cast<PDRIVER_OBJECT>(e.source));
  } else if (type == &io::kDeviceType) {
    auto* dev = static_cast<PDEVICE_OBJECT>(e.source);
    out.source = io::ServiceOf(dev->DriverObject);
    out.device = io::DeviceName(dev);
  }
  out.majorFunction = pkt->MajorFunctionCode;
  out.retryCount = pkt->RetryCount;
  out.eventCategory = pkt->EventCategory;
  out.errorCode = pkt->ErrorCode;
  out.uniqueErrorValue = pkt->UniqueErrorValue;
  out.finalStatus = pkt->FinalStatus;
  out.sequenceNumber = pkt->SequenceNumber;
  out.ioControlCode = pkt->IoControlCode;
  // Sizes and offsets come from the driver: read only what lies inside the entry.
  const UCHAR* dump = reinterpret_cast<const UCHAR*>(pkt->DumpData);
  size_t dumpBytes = std::min<size_t>(pkt->DumpDataSize, (size_t)(end - dump));
  for (size_t i = 0; i + sizeof(ULONG) <= dumpBytes; i += sizeof(ULONG)) {
    ULONG v;
    memcpy(&v, dump + i, sizeof v);
    out.dumpData.push_back(v);
  }
  if (pkt->NumberOfStrings && pkt->StringOffset >= offsetof(IO_ERROR_LOG_PACKET, DumpData) &&
      pkt->StringOffset < e.size) {
    const UCHAR* p = base + pkt->StringOffset;
    for (USHORT i = 0; i < pkt->NumberOfStrings && p < end; i++) {
      std::string s = ReadWideString(p, end);
      out.strings.push_back(s);
      p += (registry::FromUtf8(s).size() + 1) * sizeof(WCHAR);
    }
  }
  out.time = Now();
  free(ElEntry);
  std::lock_guard<std::mutex> g(S().lock);
  S().log.push_back(std::move(out));
}

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(void) {
  io::SyncBoot();
  return &S().config;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  ULONG major, minor;
  GetNtVersion(&major, &minor, nullptr);
  // WDM revision of each NT release: 5.0 -> 1.10, 5.1 -> 1.20, 5.2 -> 1.30, 6.x -> 6.x.
  UCHAR wdmMajor = 1, wdmMinor = 0x10;
  if (major == 5 && minor == 1) wdmMinor = 0x20;
  else if (major == 5 && minor >= 2) wdmMinor = 0x30;
  else if (major >= 6) {
    wdmMajor = (UCHAR)major;
    wdmMinor = (UCHAR)minor;
  }
  if (MajorVersion != wdmMajor) return MajorVersion < wdmMajor;
  return MinorVersion <= wdmMinor;
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoAllocateWorkItem above DISPATCH_LEVEL", SIM_CALLER());
  io::SyncBoot();
  auto* w = new _IO_WORKITEM{DeviceObject, nullptr, nullptr, false};
  std::lock_guard<std::mutex> g(S().lock);
  S().workItems.insert(w);
  return w;
}

void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  std::lock_guard<std::mutex> g(S().lock);
  if (!S().workItems.count(IoWorkItem))
    BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)IoWorkItem, 0, "IoFreeWorkItem of an unknown work item",
             SIM_CALLER());
  if (IoWorkItem->queued)
    BugCheck(kDriverVerifierDetectedViolation, 0x1301, (ULONG_PTR)IoWorkItem, 0, 0,
             "IoFreeWorkItem of a work item that is still queued", SIM_CALLER());
  S().workItems.erase(IoWorkItem);
  delete IoWorkItem;
}

void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
  if (CurrentIrql() > DISPATCH_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "IoQueueWorkItem above DISPATCH_LEVEL", SIM_CALLER());
  bool start = false;
  {
    std::lock_guard<std::mutex> g(S().lock);
    if (!S().workItems.count(IoWorkItem))
      BugCheck(kBadPoolCaller, 0x07, 0, (ULONG_PTR)IoWorkItem, 0, "IoQueueWorkItem of an unknown work item",
               SIM_CALLER());
    if (IoWorkItem->queued)
      BugCheck(kDriverVerifierDetectedViolation, 0x1302, (ULONG_PTR)IoWorkItem, 0, 0,
               "work item queued again before its routine ran", SIM_CALLER());
    // The device stays while the item waits, so its driver cannot unload under it.
    ObRef(IoWorkItem->device);
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    S().queue.push_back(IoWorkItem);
    if (!S().workerRunning) start = S().workerRunning = true;
  }
  if (start) StartSimThread("io worker", WorkerLoop).detach();
}

}  // extern "C"
