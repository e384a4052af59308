// RegisterPortName: the device's COM port enters the Windows NT "Ports" list the first
// time the device arrives; the "Inst" value in its device key remembers that it did.
#include "port_name.h"

#include "wdm_registry_key.h"

namespace {

// Eight characters and a terminator, or eight characters and the colon appended.
const ULONG kNameBytes = 18;
const ULONG kValueHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
const ULONG kInstQueryBytes = 21;
const ULONG kNameQueryBytes = kValueHeader + kNameBytes;
const WCHAR kPortSettings[] = L"115200,n,8,1";

// Copies the port name out of the "PortName" value into Name (kNameBytes of room, no
// terminator kept). FALSE for anything that is not a usable name that fits, so a name
// too long for the list is left out rather than cut or written past the buffer.
BOOLEAN ReadPortName(HANDLE Key, PKEY_VALUE_PARTIAL_INFORMATION Info, PUNICODE_STRING Name) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, L"PortName");
  ULONG length = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValuePartialInformation, Info, kNameQueryBytes, &length);
  if (status != STATUS_SUCCESS || Info->Type != REG_SZ || Info->DataLength > kNameBytes) return FALSE;
  const WCHAR* text = reinterpret_cast<const WCHAR*>(Info->Data);
  USHORT chars = 0;
  while (chars < Info->DataLength / sizeof(WCHAR) && text[chars]) chars++;
  // Room is left for the colon: a name of nine characters with no terminator does not fit.
  if (chars == 0 || (chars + 1) * sizeof(WCHAR) > kNameBytes) return FALSE;
  RtlCopyMemory(Name->Buffer, text, chars * sizeof(WCHAR));
  Name->Length = (USHORT)(chars * sizeof(WCHAR));
  return TRUE;
}

}  // namespace

void RegisterPortName(PDEVICE_OBJECT PhysicalDeviceObject) {
  auto* nameBuffer = static_cast<PWCH>(WdmAllocate(kNameBytes));
  auto* query = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(WdmAllocate(kNameQueryBytes));
  HANDLE key = nullptr;
  if (!nameBuffer || !query ||
      !NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
    WdmFree(query);
    WdmFree(nameBuffer);
    return;
  }

  UNICODE_STRING inst;
  RtlInitUnicodeString(&inst, L"Inst");
  ULONG length = 0;
  // Any answer but "no such value" means the port was entered before.
  NTSTATUS status = ZwQueryValueKey(key, &inst, KeyValuePartialInformation, query, kInstQueryBytes, &length);
  UNICODE_STRING name;
  name.Buffer = nameBuffer;
  name.Length = 0;
  name.MaximumLength = (USHORT)kNameBytes;
  if (status != STATUS_OBJECT_NAME_NOT_FOUND || !ReadPortName(key, query, &name)) {
    ZwClose(key);
    WdmFree(query);
    WdmFree(nameBuffer);
    return;
  }
  ULONG one = 1;
  // Kernel-mode Zw calls are not held to the handle's read-only access.
  ZwSetValueKey(key, &inst, 0, REG_DWORD, &one, sizeof(one));
  ZwClose(key);
  WdmFree(query);

  WdmRegistryKey ports;
  if (NT_SUCCESS(ports.Open(WdmRootWindowsNt, L"Ports", KEY_READ, OBJ_CASE_INSENSITIVE, FALSE))) {
    name.Buffer[name.Length / sizeof(WCHAR)] = L':';
    name.Length += sizeof(WCHAR);
    ZwSetValueKey(ports.Key, &name, 0, REG_SZ, (PVOID)kPortSettings, sizeof(kPortSettings));
    ports.Close();
  }
  WdmFree(nameBuffer);
}
