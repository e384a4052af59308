// Driver images and the services around them: loading by service name, DriverEntry's
// arguments, unload rules and the pool leak check at unload, the system event log, remove
// locks, work items, and the version the machine reports.
#include <cstddef>

#include "drivers/io_test_fixture.h"
#include "internal.h"
#include "pool.h"

using namespace iotest;
using namespace sim::kernel;

namespace {

std::string gSeenRegistryPath, gSeenServiceKey, gSeenDriverName;
KIRQL gSeenIrql = HIGH_LEVEL;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  gSeenRegistryPath = registry::ToUtf8(registryPath->Buffer, registryPath->Length / 2);
  gSeenServiceKey = registry::ToUtf8(driver->DriverExtension->ServiceKeyName.Buffer,
                                     driver->DriverExtension->ServiceKeyName.Length / 2);
  gSeenDriverName = registry::ToUtf8(driver->DriverName.Buffer, driver->DriverName.Length / 2);
  gSeenIrql = KeGetCurrentIrql();
  return STATUS_SUCCESS;
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_NOT_SUPPORTED; }

void LogAnError(PVOID source) {
  const WCHAR port[] = L"COM9";
  UCHAR size = (UCHAR)(offsetof(IO_ERROR_LOG_PACKET, DumpData) + 2 * sizeof(ULONG) + sizeof port);
  auto* e = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(source, size));
  ASSERT_NE(e, nullptr);
  e->ErrorCode = (NTSTATUS)0xC0040010;
  e->UniqueErrorValue = 17;
  e->FinalStatus = STATUS_INSUFFICIENT_RESOURCES;
  e->MajorFunctionCode = IRP_MJ_CREATE;
  e->DumpDataSize = 2 * sizeof(ULONG);
  e->DumpData[0] = 0x1234;
  e->DumpData[1] = 0x5678;  // the second ULONG lies in the extra room asked for
  e->NumberOfStrings = 1;
  e->StringOffset = (USHORT)(offsetof(IO_ERROR_LOG_PACKET, DumpData) + 2 * sizeof(ULONG));
  memcpy(reinterpret_cast<UCHAR*>(e) + e->StringOffset, port, sizeof port);
  IoWriteErrorLogEntry(e);
}

}  // namespace

using IoImageTest = IoFixture;

TEST_F(IoImageTest, LoadEntersTheDriverWithItsServiceKey) {
  RegisterBuiltinImage("IoTestRecord", RecordingEntry);
  InstallService("IoTestRecord");
  PDRIVER_OBJECT driver;
  ASSERT_EQ(LoadDriver("IoTestRecord", &driver), STATUS_SUCCESS);
  EXPECT_EQ(gSeenRegistryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTestRecord");
  EXPECT_EQ(gSeenServiceKey, "IoTestRecord");
  EXPECT_EQ(gSeenDriverName, "\\Driver\\IoTestRecord");
  EXPECT_EQ(gSeenIrql, PASSIVE_LEVEL);
  EXPECT_EQ(driver->DriverInit, RecordingEntry);
  EXPECT_EQ(LoadedDriver("iotestrecord"), driver);
  PDRIVER_OBJECT again;
  ASSERT_EQ(LoadDriver("IoTestRecord", &again), STATUS_SUCCESS);  // loaded once
  EXPECT_EQ(again, driver);
  // Majors the driver did not claim are refused by the I/O manager.
  PDEVICE_OBJECT dev;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(SendIrpAndWait(dev, irp, nullptr), STATUS_INVALID_DEVICE_REQUEST);
  // No DriverUnload: Windows keeps such a driver.
  IoDeleteDevice(dev);
  EXPECT_EQ(UnloadDriver(driver), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IoImageTest, LoadFailuresReportWhy) {
  PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
  EXPECT_EQ(LoadDriver("NoSuchService", &driver), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(driver, nullptr);
  InstallService("NoImageAnywhere");
  SetImageDirectory("/nonexistent");
  EXPECT_EQ(LoadDriver("NoImageAnywhere", &driver), STATUS_NO_SUCH_FILE);
  RegisterBuiltinImage("IoTestDisabled", RecordingEntry);
  InstallService("IoTestDisabled");
  registry::SetDword(std::string(kServices) + "IoTestDisabled", "Start", 4);
  EXPECT_EQ(LoadDriver("IoTestDisabled", &driver), STATUS_INVALID_DEVICE_STATE);
  RegisterBuiltinImage("IoTestFails", FailingEntry);
  InstallService("IoTestFails");
  EXPECT_EQ(LoadDriver("IoTestFails", &driver), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(LoadedDriver("IoTestFails"), nullptr);
}

TEST_F(IoImageTest, PlugAndPlayDriverUnloadsOnlyWithoutDevices) {
  upperDriver->DriverExtension->AddDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; };
  BuildStack();
  EXPECT_EQ(UnloadDriver(upperDriver), STATUS_DEVICE_BUSY);
  EXPECT_EQ(LoadedDriver("IoTestUpper"), upperDriver);
  TearDownStack();
  EXPECT_EQ(UnloadDriver(upperDriver), STATUS_SUCCESS);
  EXPECT_EQ(LoadedDriver("IoTestUpper"), nullptr);
  // A legacy driver deletes its own devices in DriverUnload.
  ASSERT_EQ(LoadDriver("IoTestUpper", &upperDriver), STATUS_SUCCESS);
  BuildStack(L"\\Device\\IoTestLower0");
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  upper = nullptr;
  EXPECT_EQ(UnloadDriver(lowerDriver), STATUS_SUCCESS);
  lower = nullptr;
  EXPECT_EQ(FindDevice("\\Device\\IoTestLower0"), nullptr);
}

TEST_F(IoImageTest, PoolLeftAtUnloadIsReportedByTag) {
  S().leakOnUnload = true;
  RegisterBuiltinImage("IoTestLeaky", UpperEntry);
  InstallService("IoTestLeaky");
  PDRIVER_OBJECT leaky;
  ASSERT_EQ(LoadDriver("IoTestLeaky", &leaky), STATUS_SUCCESS);
  ASSERT_NE(S().leaked, nullptr);
  EXPECT_DEATH(UnloadDriver(leaky), "'Leak': 1 allocation, 48 bytes");
  ExFreePoolWithTag(S().leaked, kLeakTag);
}

TEST_F(IoImageTest, ErrorLogEntriesReachTheEventLog) {
  BuildStack();
  LogAnError(lower);
  LogAnError(lowerDriver);
  std::vector<EventLogEntry> log = EventLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].source, "IoTestLower");
  EXPECT_EQ(log[0].device, "\\Device\\IoTestLower0");
  EXPECT_EQ(log[0].errorCode, (NTSTATUS)0xC0040010);
  EXPECT_EQ(log[0].uniqueErrorValue, 17u);
  EXPECT_EQ(log[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(log[0].majorFunction, IRP_MJ_CREATE);
  EXPECT_EQ(log[0].dumpData, std::vector<ULONG>({0x1234, 0x5678}));
  EXPECT_EQ(log[0].strings, std::vector<std::string>({"COM9"}));
  EXPECT_EQ(log[1].source, "IoTestLower");
  EXPECT_EQ(log[1].device, "");

  // Too large an entry is refused; a freed one never shows.
  EXPECT_EQ(IoAllocateErrorLogEntry(lower, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  PVOID e = IoAllocateErrorLogEntry(lower, sizeof(IO_ERROR_LOG_PACKET));
  IoFreeErrorLogEntry(e);
  EXPECT_EQ(EventLog().size(), 2u);
  ClearEventLog();
  EXPECT_TRUE(EventLog().empty());
}

TEST_F(IoImageTest, ErrorLogReadsOnlyInsideTheEntry) {
  BuildStack();
  auto* e = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(lower, sizeof(IO_ERROR_LOG_PACKET)));
  e->DumpDataSize = 200;   // claims far more than the entry holds
  e->NumberOfStrings = 3;  // and strings past its end
  e->StringOffset = 250;
  IoWriteErrorLogEntry(e);
  std::vector<EventLogEntry> log = EventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_LE(log[0].dumpData.size(), 2u);
  EXPECT_TRUE(log[0].strings.empty());
}

TEST_F(IoImageTest, RemoveLockWaitsForEveryHolderInVirtualTime) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, kLeakTag, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's own
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);    // a request in flight
  std::thread holder = StartSimThread("holder", [&] {
    Sleep(1500);
    IoReleaseRemoveLock(&lock, &lock);
  });
  ULONGLONG start = Now();
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  EXPECT_GE(Now() - start, 15000000ull);
  HostBlocking([&] { holder.join(); });
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

namespace {
KEVENT gWorkDone;
KIRQL gWorkIrql;
PKTHREAD gWorkThread;
LONG gRefsInRoutine;
void WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
  gWorkIrql = KeGetCurrentIrql();
  gRefsInRoutine = sim::kernel::ObRefCount(device);
  gWorkThread = KeGetCurrentThread();
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));  // allowed from the routine itself
  KeSetEvent(&gWorkDone, IO_NO_INCREMENT, FALSE);
}
}  // namespace

TEST_F(IoImageTest, WorkItemRunsAtPassiveOnAWorkerHoldingTheDevice) {
  BuildStack();
  KeInitializeEvent(&gWorkDone, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(lower);
  LONG refs = sim::kernel::ObRefCount(lower);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC-level path, as drivers do
  IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, item);
  KeLowerIrql(old);
  KeWaitForSingleObject(&gWorkDone, Executive, KernelMode, FALSE, nullptr);
  // The worker may run at once on its own thread: the device's extra reference is
  // observed from inside the routine, where it must still be held.
  EXPECT_EQ(gRefsInRoutine, refs + 1);
  EXPECT_EQ(gWorkIrql, PASSIVE_LEVEL);
  EXPECT_NE(gWorkThread, KeGetCurrentThread());
  // The worker drops its reference once the routine is done.
  for (int i = 0; i < 100 && sim::kernel::ObRefCount(lower) != refs; i++) sim::kernel::Sleep(1);
  EXPECT_EQ(sim::kernel::ObRefCount(lower), refs);
}

struct WdmCase {
  ULONG ntMajor, ntMinor;
  UCHAR wdmMajor, wdmMinor;
  bool available;
};

TEST_F(IoImageTest, WdmVersionFollowsTheMachinesVersion) {
  const WdmCase cases[] = {
      {5, 1, 1, 0x20, true},  {5, 1, 1, 0x10, true},  {5, 1, 1, 0x30, false}, {5, 1, 6, 0x00, false},
      {5, 0, 1, 0x10, true},  {5, 0, 1, 0x20, false}, {6, 1, 6, 0x01, true},  {6, 1, 1, 0x30, true},
      {6, 0, 6, 0x01, false},
  };
  ULONG major, minor, build;
  GetNtVersion(&major, &minor, &build);
  EXPECT_EQ(major, 5u);
  EXPECT_EQ(minor, 1u);
  for (const WdmCase& c : cases) {
    SetNtVersion(c.ntMajor, c.ntMinor, 2600);
    EXPECT_EQ(IoIsWdmVersionAvailable(c.wdmMajor, c.wdmMinor) != FALSE, c.available)
        << c.ntMajor << "." << c.ntMinor << " asked " << (int)c.wdmMajor << "." << std::hex << (int)c.wdmMinor;
  }
}

TEST_F(IoImageTest, SerialCountIsKeptAcrossCalls) {
  PCONFIGURATION_INFORMATION config = IoGetConfigurationInformation();
  EXPECT_EQ(config->SerialCount, 0u);
  config->SerialCount++;
  EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
}
