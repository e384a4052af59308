// The bus device's registry parameters: mode, limits and the child templates, read from
// "Parameters" under the device's driver key as the package's INF wrote them.
#include "bus_device.h"

#include "wdm_registry_key.h"

namespace {

const ULONG kRetryLimitBound = 256;
const ULONG kMaxDeviceInfoBytes = 128;

PCWSTR const kModemInfo = L"Parameters\\DeviceInfo\\MODEM";
PCWSTR const kObexInfo = L"Parameters\\DeviceInfo\\OBEX";
PCWSTR const kAtInfo = L"Parameters\\DeviceInfo\\ATCOMM";

// A value that is missing or not four bytes long leaves the default; one that could not
// be read for want of memory must not pass for a missing one, or the device would run
// with a setting nobody chose.
BOOLEAN ReadNumber(WdmRegistryKey& key, PCWSTR name, PULONG value) {
  return key.QueryDword(name, value) != STATUS_INSUFFICIENT_RESOURCES;
}

ULONG WideLength(const WCHAR* text, ULONG maxChars) {
  ULONG n = 0;
  while (n < maxChars && text[n]) n++;
  return n;
}

}  // namespace

NTSTATUS UsbBusDevice::ReadParameters() {
  WdmRegistryKey parameters;
  if (!NT_SUCCESS(parameters.OpenDeviceKey(PhysicalDeviceObject, L"Parameters"))) return STATUS_OBJECT_NAME_NOT_FOUND;

  BulkINRetryLimit = kDefaultBulkInRetryLimit;
  if (!ReadNumber(parameters, L"BulkINRetryLimit", &BulkINRetryLimit)) return STATUS_INSUFFICIENT_RESOURCES;
  // 256 marks a channel whose reading a close stopped; a limit that high would hide it.
  if (BulkINRetryLimit >= kRetryLimitBound) BulkINRetryLimit = kDefaultBulkInRetryLimit;

  UsbMode = 0;
  if (!ReadNumber(parameters, L"UsbMode", &UsbMode)) return STATUS_INSUFFICIENT_RESOURCES;
  if (UsbMode == 1) {
    // "Inst98" marks an installation made for the 98 platform: it must match this one.
    ULONG scratch = 0;
    NTSTATUS inst98 = parameters.QueryDword(L"Inst98", &scratch);
    if (inst98 == STATUS_INSUFFICIENT_RESOURCES) return inst98;
    if ((BOOLEAN)NT_SUCCESS(inst98) != IsWin98Platform) return STATUS_UNSUCCESSFUL;
  }

  UpMaxKeepDataSize = kDefaultKeepDataSize;
  if (!ReadNumber(parameters, L"UpMaxKeepDataSize", &UpMaxKeepDataSize)) return STATUS_INSUFFICIENT_RESOURCES;
  DownMaxKeepDataSize = kDefaultKeepDataSize;
  if (!ReadNumber(parameters, L"DownMaxKeepDataSize", &DownMaxKeepDataSize)) return STATUS_INSUFFICIENT_RESOURCES;
  parameters.Close();

  if (UsbMode == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (UsbMode == 3) return STATUS_SUCCESS;

  PCWSTR paths[kSlots] = {kModemInfo, UsbMode == 2 ? nullptr : kObexInfo, kAtInfo};
  for (ULONG i = 0; i < kSlots; i++) DeviceInfoPath[i] = Slot[i].SlotPresent ? paths[i] : nullptr;

  for (ULONG i = 0; i < kSlots; i++) {
    if (!DeviceInfoPath[i]) continue;
    NTSTATUS status = AddChildTemplate(DeviceInfoPath[i]);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Builds the template of one DeviceInfo key. A key that cannot be opened or holds no
// value gives no child; so does a value whose name or data does not fit the 128-byte
// limits or whose data has no enumerator part, since its identifiers would be wrong. A
// key or value that could not be read for want of memory fails the start instead: the
// child exists, and a start without it would hide its function until the next plug.
NTSTATUS UsbBusDevice::AddChildTemplate(PCWSTR Path) {
  WdmRegistryKey info;
  NTSTATUS opened = info.OpenDeviceKey(PhysicalDeviceObject, Path);
  if (opened == STATUS_INSUFFICIENT_RESOURCES) return opened;
  if (!NT_SUCCESS(opened)) return STATUS_SUCCESS;

  WCHAR nameBuffer[kMaxDeviceInfoBytes / sizeof(WCHAR)];
  UNICODE_STRING name;
  name.Buffer = nameBuffer;
  name.Length = 0;
  name.MaximumLength = sizeof(nameBuffer);
  WCHAR data[kMaxDeviceInfoBytes / sizeof(WCHAR) + 1];
  RtlZeroMemory(data, sizeof(data));
  WdmRegistryValueInfo valueInfo;
  NTSTATUS status = info.EnumerateValue(&name, data, kMaxDeviceInfoBytes, &valueInfo);
  info.Close();
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  if (status == STATUS_NO_MORE_ENTRIES || !NT_SUCCESS(status)) return STATUS_SUCCESS;

  ULONG dataChars = WideLength(data, kMaxDeviceInfoBytes / sizeof(WCHAR));
  ULONG slash = 0;
  while (slash < dataChars && data[slash] != L'\\') slash++;
  if (dataChars == 0 || slash >= dataChars) return STATUS_SUCCESS;
  ULONG tailChars = dataChars - slash - 1;

  auto* entry = static_cast<UsbChildTemplate*>(WdmAllocate(sizeof(UsbChildTemplate)));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(entry, sizeof(*entry));
  entry->NameSize = name.Length + sizeof(WCHAR);
  entry->Name = static_cast<PWSTR>(WdmAllocate(entry->NameSize));
  // Data with its NUL, the tail with its NUL, and the empty string that ends the list.
  entry->HardwareIdsSize = (dataChars + 1) * sizeof(WCHAR) + tailChars * sizeof(WCHAR) + 2 * sizeof(WCHAR);
  entry->HardwareIds = static_cast<PUCHAR>(WdmAllocate(entry->HardwareIdsSize));
  if (!entry->Name || !entry->HardwareIds) {
    WdmFree(entry->Name);
    WdmFree(entry->HardwareIds);
    WdmFree(entry);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(entry->Name, name.Buffer, name.Length);
  entry->Name[name.Length / sizeof(WCHAR)] = 0;
  RtlZeroMemory(entry->HardwareIds, entry->HardwareIdsSize);
  auto* ids = reinterpret_cast<PWCHAR>(entry->HardwareIds);
  RtlCopyMemory(ids, data, dataChars * sizeof(WCHAR));
  RtlCopyMemory(ids + dataChars + 1, data + slash + 1, tailChars * sizeof(WCHAR));

  InsertTailList(&ChildTemplates, &entry->Link);
  ChildTemplateCount++;
  return STATUS_SUCCESS;
}

void UsbBusDevice::FreeChildTemplates() {
  while (!IsListEmpty(&ChildTemplates)) {
    auto* entry = CONTAINING_RECORD(RemoveHeadList(&ChildTemplates), UsbChildTemplate, Link);
    WdmFree(entry->Name);
    WdmFree(entry->HardwareIds);
    WdmFree(entry);
  }
  ChildTemplateCount = 0;
}
