// Driver entry and unload of the COM-port driver: the private copy of the service key
// path, the driver defaults read from (and written back to) the service key, and the
// dispatch table.
#include "port.h"

PORT_DRIVER_DEFAULTS PortDefaults;
UNICODE_STRING PortRegistryPath;
LIST_ENTRY PortAllPorts;
KSPIN_LOCK PortAllPortsLock;

namespace {

const ULONG kAbsent = 1234567;

void ReadDefaults() {
  PORT_DRIVER_DEFAULTS& d = PortDefaults;
  d.BreakOnEntry = d.DebugLevel = 0;
  d.ForceFifoEnable = d.RxFIFO = d.TxFIFO = d.PermitShare = d.LogFifo = kAbsent;
  ULONG zero = 0, absent = kAbsent;
  struct Entry {
    PCWSTR name;
    ULONG* value;
    ULONG* fallback;
  } entries[] = {
      {L"BreakOnEntry", &d.BreakOnEntry, &zero},   {L"DebugLevel", &d.DebugLevel, &zero},
      {L"ForceFifoEnable", &d.ForceFifoEnable, &absent}, {L"RxFIFO", &d.RxFIFO, &absent},
      {L"TxFIFO", &d.TxFIFO, &absent},              {L"PermitShare", &d.PermitShare, &absent},
      {L"LogFifo", &d.LogFifo, &absent},
  };
  RTL_QUERY_REGISTRY_TABLE table[8];
  RtlZeroMemory(table, sizeof table);
  for (ULONG i = 0; i < 7; i++) {
    table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[i].Name = const_cast<PWSTR>(entries[i].name);
    table[i].EntryContext = entries[i].value;
    table[i].DefaultType = REG_DWORD;
    table[i].DefaultData = entries[i].fallback;
    table[i].DefaultLength = sizeof(ULONG);
  }
  if (!NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, PortRegistryPath.Buffer,
                                         table, nullptr, nullptr))) {
    d.BreakOnEntry = d.DebugLevel = 0;
  }
  // FIFO values only ever get reported back; a fresh service key gets the defaults.
  struct Fifo {
    PCWSTR name;
    ULONG* value;
    ULONG stored;
  } fifo[] = {{L"ForceFifoEnable", &d.ForceFifoEnable, 1}, {L"RxFIFO", &d.RxFIFO, 8}, {L"TxFIFO", &d.TxFIFO, 14},
              {L"PermitShare", &d.PermitShare, 0},         {L"LogFifo", &d.LogFifo, 0}};
  for (auto& f : fifo) {
    if (*f.value != kAbsent) continue;
    // LogFifo is stored as 0 but used as 1.
    *f.value = f.value == &d.LogFifo ? 1 : f.stored;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, PortRegistryPath.Buffer, f.name, REG_DWORD, &f.stored,
                          sizeof(ULONG));
  }
}

void NTAPI PortUnload(PDRIVER_OBJECT) {
  if (PortRegistryPath.Buffer) ExFreePoolWithTag(PortRegistryPath.Buffer, PORT_POOL_TAG);
  PortRegistryPath.Buffer = nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // Room for a terminator too: the Rtl registry calls take the path as a C string.
  USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  PortRegistryPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, PORT_POOL_TAG));
  if (!PortRegistryPath.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  PortRegistryPath.Length = 0;
  PortRegistryPath.MaximumLength = size;
  RtlCopyUnicodeString(&PortRegistryPath, RegistryPath);
  PortRegistryPath.Buffer[PortRegistryPath.Length / sizeof(WCHAR)] = 0;

  InitializeListHead(&PortAllPorts);
  KeInitializeSpinLock(&PortAllPortsLock);
  ReadDefaults();
  if (PortDefaults.BreakOnEntry) DbgBreakPoint();

  DriverObject->DriverUnload = PortUnload;
  DriverObject->DriverExtension->AddDevice = PortAddDevice;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PortDispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PortDispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = PortDispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PortDispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = PortDispatchFlush;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PortDispatchInternalControl;
  DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = PortDispatchQueryInformation;
  DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = PortDispatchSetInformation;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PortDispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PortDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PortDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PortDispatchSystemControl;
  return STATUS_SUCCESS;
}
