// The names a started port has outside the driver: the "\DosDevices\" link to its port
// name, the SERIALCOMM device-map value and the serial-port device interface; and the
// event-log entries written when configuration fails.
#include "port.h"

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const USHORT kPortNameBytes = 66;  // 32 characters and a terminator

// Reads a REG_SZ value of the device parameters key into the port-name buffer. A name
// that does not fit counts as absent: cutting it would name a different port.
enum ReadResult { NameRead, NameAbsent, NameTooLong };
ReadResult ReadName(HANDLE key, PCWSTR valueName, PUNICODE_STRING out) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  const ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 256;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, PORT_POOL_TAG));
  if (!info) return NameAbsent;
  ULONG got = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &got);
  ReadResult result = NameAbsent;
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
    result = NameTooLong;
  } else if (NT_SUCCESS(status) && (info->Type == REG_SZ || info->Type == REG_EXPAND_SZ)) {
    ULONG chars = info->DataLength / sizeof(WCHAR);
    auto* data = reinterpret_cast<PWSTR>(info->Data);
    while (chars && data[chars - 1] == 0) chars--;
    if (chars == 0) {
      result = NameAbsent;
    } else if ((chars + 1) * sizeof(WCHAR) > kPortNameBytes) {
      result = NameTooLong;
    } else {
      RtlCopyMemory(out->Buffer, data, chars * sizeof(WCHAR));
      out->Buffer[chars] = 0;
      out->Length = (USHORT)(chars * sizeof(WCHAR));
      result = NameRead;
    }
  }
  ExFreePoolWithTag(info, PORT_POOL_TAG);
  return result;
}

ULONG ReadDword(HANDLE key, PCWSTR valueName) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG got;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &got)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
    return *reinterpret_cast<ULONG*>(info->Data);
  return 0;
}

void FreeName(PUNICODE_STRING s) {
  if (s->Buffer) ExFreePoolWithTag(s->Buffer, PORT_POOL_TAG);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

}  // namespace

void PortLogError(PDEVICE_OBJECT Device, NTSTATUS Code, ULONG Unique, NTSTATUS Final, PCUNICODE_STRING Insertion) {
  ULONG stringBytes = Insertion ? Insertion->Length + sizeof(WCHAR) : 0;
  ULONG size = sizeof(IO_ERROR_LOG_PACKET) + stringBytes;
  if (size > ERROR_LOG_MAXIMUM_SIZE) {
    stringBytes = 0;
    size = sizeof(IO_ERROR_LOG_PACKET);
  }
  auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Device, (UCHAR)size));
  if (!entry) return;
  entry->MajorFunctionCode = 0;
  entry->RetryCount = 0;
  entry->DumpDataSize = 0;
  entry->ErrorCode = Code;
  entry->UniqueErrorValue = Unique;
  entry->FinalStatus = Final;
  entry->SequenceNumber = 0;
  entry->NumberOfStrings = 0;
  if (stringBytes) {
    entry->NumberOfStrings = 1;
    entry->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    auto* text = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(entry) + entry->StringOffset);
    RtlCopyMemory(text, Insertion->Buffer, Insertion->Length);
    text[Insertion->Length / sizeof(WCHAR)] = 0;
  }
  IoWriteErrorLogEntry(entry);
}

void PortDoExternalNaming(PPORT_EXTENSION Ext) {
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return;
  if (ReadDword(key, L"SerialSkipExternalNaming")) {
    Ext->SkipNaming = TRUE;
    ZwClose(key);
    return;
  }
  Ext->PortName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kPortNameBytes, PORT_POOL_TAG));
  if (!Ext->PortName.Buffer) {
    ZwClose(key);
    return;
  }
  Ext->PortName.MaximumLength = kPortNameBytes;
  Ext->PortName.Length = 0;
  ReadResult read = ReadName(key, L"PortName", &Ext->PortName);
  if (read == NameTooLong) PortLogError(Ext->DeviceObject, (NTSTATUS)0x80060004L, 52, STATUS_NAME_TOO_LONG, &Ext->DeviceName);
  if (read != NameRead) read = ReadName(key, L"Identifier", &Ext->PortName);
  ZwClose(key);
  if (read != NameRead) {
    FreeName(&Ext->PortName);
    return;
  }

  // "\DosDevices\" + port name
  Ext->SymbolicLinkName.Length = 0;
  RtlAppendUnicodeToString(&Ext->SymbolicLinkName, L"\\DosDevices\\");
  RtlAppendUnicodeStringToString(&Ext->SymbolicLinkName, &Ext->PortName);
  NTSTATUS status = IoCreateSymbolicLink(&Ext->SymbolicLinkName, &Ext->DeviceName);
  if (!NT_SUCCESS(status)) {
    PortLogError(Ext->DeviceObject, (NTSTATUS)0x80060004L, 52, status, &Ext->DeviceName);
    PortUndoExternalNaming(Ext, FALSE);
    return;
  }
  Ext->CreatedSymbolicLink = TRUE;

  status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Ext->DeviceName.Buffer, REG_SZ,
                                 Ext->PortName.Buffer, Ext->PortName.Length + sizeof(WCHAR));
  if (!NT_SUCCESS(status)) {
    PortLogError(Ext->DeviceObject, (NTSTATUS)0x80060005L, 53, status, &Ext->DeviceName);
    PortUndoExternalNaming(Ext, FALSE);
    return;
  }
  Ext->CreatedSerialCommEntry = TRUE;

  status = IoRegisterDeviceInterface(Ext->Pdo, &kComPortInterface, nullptr, &Ext->InterfaceName);
  if (NT_SUCCESS(status)) {
    if (!NT_SUCCESS(IoSetDeviceInterfaceState(&Ext->InterfaceName, TRUE))) RtlFreeUnicodeString(&Ext->InterfaceName);
  } else {
    Ext->InterfaceName.Buffer = nullptr;
  }
}

void PortUndoExternalNaming(PPORT_EXTENSION Ext, BOOLEAN AtRemoval) {
  if (Ext->SkipNaming || Ext->NamingUndone) return;
  if (AtRemoval) Ext->NamingUndone = TRUE;
  if (Ext->InterfaceName.Buffer) {
    IoSetDeviceInterfaceState(&Ext->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Ext->InterfaceName);
    Ext->InterfaceName.Buffer = nullptr;
  }
  if (Ext->CreatedSymbolicLink) {
    IoDeleteSymbolicLink(&Ext->SymbolicLinkName);
    Ext->CreatedSymbolicLink = FALSE;
  }
  if (Ext->CreatedSerialCommEntry) {
    NTSTATUS status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Ext->DeviceName.Buffer);
    if (!NT_SUCCESS(status) && AtRemoval)
      PortLogError(Ext->DeviceObject, (NTSTATUS)0x80060006L, 55, status, &Ext->DeviceName);
    Ext->CreatedSerialCommEntry = FALSE;
  }
  FreeName(&Ext->PortName);
}
