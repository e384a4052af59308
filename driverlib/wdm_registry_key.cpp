// Registry keys: open under a standard root or a device's class key, query DWORDs
// exactly, enumerate values through a small stack buffer with a pool retry.
#include "wdm_registry_key.h"

namespace {

const PCWSTR kRoots[] = {
    L"",
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    L"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP",
    L"\\Registry\\User",
};
const ULONG kRootCount = sizeof(kRoots) / sizeof(kRoots[0]);

const ULONG kMaxPathBytes = 0xFFFE;
const ULONG kFullStackBytes = 224;
const ULONG kBasicStackBytes = 216;
const ULONG kDriverKeyBytes = 512;

ULONG TextBytes(PCWSTR text) {
  ULONG n = 0;
  if (text) {
    while (text[n]) ++n;
  }
  return n * sizeof(WCHAR);
}

}  // namespace

WdmRegistryKey::WdmRegistryKey()
    : Key(NULL),
      Status(STATUS_SUCCESS),
      DesiredAccess(0),
      Attributes(0),
      Create(FALSE),
      CreateOptions(0),
      EnumIndex(0) {}

WdmRegistryKey::~WdmRegistryKey() { Close(); }

void WdmRegistryKey::Close() {
  if (Key) {
    ZwClose(Key);
    Key = NULL;
  }
}

NTSTATUS WdmRegistryKey::Open(ULONG root, PCWSTR relative, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
                              ULONG createOptions) {
  if (root >= kRootCount) {
    Close();
    return Status = STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING rootPath;
  RtlInitUnicodeString(&rootPath, kRoots[root]);
  return OpenPath(&rootPath, relative, access, attributes, create, createOptions);
}

NTSTATUS WdmRegistryKey::OpenPath(PCUNICODE_STRING root, PCWSTR relative, ACCESS_MASK access, ULONG attributes,
                                  BOOLEAN create, ULONG createOptions) {
  Close();
  EnumIndex = 0;
  DesiredAccess = access;
  Attributes = attributes;
  Create = create;
  CreateOptions = createOptions;

  // The copies describe the key actually opened, so a reopen with other paths replaces them.
  ULONG relativeBytes = TextBytes(relative);
  if (relativeBytes > kMaxPathBytes) return Status = STATUS_NAME_TOO_LONG;
  UNICODE_STRING relativePath;
  relativePath.Length = relativePath.MaximumLength = (USHORT)relativeBytes;
  relativePath.Buffer = (PWCH)relative;
  NTSTATUS status = RootPath.Concatenate(NULL, root, PagedPool);
  if (NT_SUCCESS(status)) status = RelativePath.Concatenate(NULL, &relativePath, PagedPool);
  if (!NT_SUCCESS(status)) return Status = status;

  const WCHAR* r = RootPath.String.Buffer;
  USHORT rootChars = RootPath.String.Length / sizeof(WCHAR);
  BOOLEAN separator = relativeBytes != 0 && !(rootChars && r[rootChars - 1] == L'\\') && relative[0] != L'\\';
  ULONG pathBytes = RootPath.String.Length + (separator ? sizeof(WCHAR) : 0) + relativeBytes;
  if (pathBytes > kMaxPathBytes) return Status = STATUS_NAME_TOO_LONG;

  WdmString path;
  status = path.Allocate(pathBytes + sizeof(WCHAR), PagedPool);
  if (!NT_SUCCESS(status)) return Status = status;
  RtlAppendUnicodeStringToString(path.Get(), &RootPath.String);
  if (separator) RtlAppendUnicodeToString(path.Get(), L"\\");
  RtlAppendUnicodeStringToString(path.Get(), &RelativePath.String);

  OBJECT_ATTRIBUTES objectAttributes;
  InitializeObjectAttributes(&objectAttributes, path.Get(), attributes, NULL, NULL);
  HANDLE key = NULL;
  if (create) {
    ULONG disposition;
    status = ZwCreateKey(&key, access, &objectAttributes, 0, NULL, createOptions, &disposition);
  } else {
    status = ZwOpenKey(&key, access, &objectAttributes);
  }
  Key = NT_SUCCESS(status) ? key : NULL;
  return Status = status;
}

NTSTATUS WdmRegistryKey::OpenDeviceKey(PDEVICE_OBJECT pdo, PCWSTR relative, ACCESS_MASK access, ULONG attributes,
                                       BOOLEAN create, ULONG createOptions) {
  Close();
  PWCHAR driverKey = (PWCHAR)WdmAllocate(kDriverKeyBytes, PagedPool);
  if (!driverKey) return Status = STATUS_INSUFFICIENT_RESOURCES;
  ULONG resultLength = 0;
  NTSTATUS status =
      IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, kDriverKeyBytes, driverKey, &resultLength);
  if (!NT_SUCCESS(status)) {
    WdmFree(driverKey);
    return Status = status;
  }
  // The property is NUL-terminated; count only the characters before the terminator.
  ULONG keyChars = 0;
  ULONG maxChars = (resultLength < kDriverKeyBytes ? resultLength : kDriverKeyBytes) / sizeof(WCHAR);
  while (keyChars < maxChars && driverKey[keyChars]) ++keyChars;
  UNICODE_STRING keyName;
  keyName.Length = keyName.MaximumLength = (USHORT)(keyChars * sizeof(WCHAR));
  keyName.Buffer = driverKey;

  // The class keys live under Control, or under Services on the 98 platform.
  PCWSTR root = kRoots[IsWin98Platform ? WdmRootServices : WdmRootControl];
  const WCHAR classPart[] = L"\\Class\\";
  WdmString classRoot;
  status = classRoot.Allocate(TextBytes(root) + sizeof(classPart) + keyName.Length, PagedPool);
  if (NT_SUCCESS(status)) {
    RtlAppendUnicodeToString(classRoot.Get(), root);
    RtlAppendUnicodeToString(classRoot.Get(), classPart);
    RtlAppendUnicodeStringToString(classRoot.Get(), &keyName);
  }
  WdmFree(driverKey);
  if (!NT_SUCCESS(status)) return Status = status;
  return OpenPath(classRoot.Get(), relative, access, attributes, create, createOptions);
}

NTSTATUS WdmRegistryKey::QueryDword(PCWSTR name, PULONG value) {
  if (!Key) return Status = STATUS_INVALID_HANDLE;
  const ULONG bufferBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG);
  PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)WdmAllocate(bufferBytes, PagedPool);
  if (!info) return Status = STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValuePartialInformation, info, bufferBytes, &resultLength);
  // A longer value only fills the header; it is no DWORD either way.
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    if (info->DataLength == sizeof(ULONG) && NT_SUCCESS(status)) {
      RtlCopyMemory(value, info->Data, sizeof(ULONG));
      status = STATUS_SUCCESS;
    } else {
      status = STATUS_OBJECT_TYPE_MISMATCH;
    }
  }
  WdmFree(info);
  return Status = status;
}

NTSTATUS WdmRegistryKey::EnumerateValue(PUNICODE_STRING name, PVOID data, ULONG dataSize,
                                        WdmRegistryValueInfo* info) {
  if (!Key) return Status = STATUS_INVALID_HANDLE;
  KEY_VALUE_INFORMATION_CLASS cls = data ? KeyValueFullInformation : KeyValueBasicInformation;
  // ULONG elements keep the records aligned.
  ULONG stackBuffer[kFullStackBytes / sizeof(ULONG)];
  ULONG stackBytes = data ? kFullStackBytes : kBasicStackBytes;
  PVOID buffer = stackBuffer;
  PVOID poolBuffer = NULL;
  ULONG resultLength = 0;
  NTSTATUS status = ZwEnumerateValueKey(Key, EnumIndex, cls, buffer, stackBytes, &resultLength);
  if ((status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) && resultLength > stackBytes) {
    poolBuffer = WdmAllocate(resultLength, PagedPool);
    if (!poolBuffer) return Status = STATUS_INSUFFICIENT_RESOURCES;
    buffer = poolBuffer;
    status = ZwEnumerateValueKey(Key, EnumIndex, cls, buffer, resultLength, &resultLength);
  }
  if (NT_SUCCESS(status)) {
    // Only a value actually read moves the index on; a failed read can be repeated.
    ++EnumIndex;
    status = ReportValue(data ? (PKEY_VALUE_FULL_INFORMATION)buffer : NULL,
                         data ? NULL : (PKEY_VALUE_BASIC_INFORMATION)buffer, resultLength, name, data, dataSize, info);
  }
  WdmFree(poolBuffer);
  return Status = status;
}

NTSTATUS WdmRegistryKey::ReportValue(PKEY_VALUE_FULL_INFORMATION full, PKEY_VALUE_BASIC_INFORMATION basic,
                                     ULONG resultLength, PUNICODE_STRING name, PVOID data, ULONG dataSize,
                                     WdmRegistryValueInfo* info) {
  ULONG type = full ? full->Type : basic->Type;
  ULONG nameLength = full ? full->NameLength : basic->NameLength;
  const WCHAR* valueName = full ? full->Name : basic->Name;
  ULONG nameOffset = full ? FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name)
                          : FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
  ULONG dataLength = full ? full->DataLength : 0;
  if (info) {
    info->Type = type;
    info->DataLength = dataLength;
    info->NameLength = nameLength;
  }
  // Never trust lengths beyond what the call wrote.
  if (nameOffset + nameLength > resultLength) return STATUS_INTERNAL_ERROR;
  if (full && (full->DataOffset > resultLength || dataLength > resultLength - full->DataOffset))
    return STATUS_INTERNAL_ERROR;

  NTSTATUS status = STATUS_SUCCESS;
  if (name) {
    if (nameLength <= name->MaximumLength && (nameLength == 0 || name->Buffer)) {
      if (nameLength) RtlCopyMemory(name->Buffer, valueName, nameLength);
      name->Length = (USHORT)nameLength;
      if (nameLength + sizeof(WCHAR) <= name->MaximumLength) name->Buffer[nameLength / sizeof(WCHAR)] = UNICODE_NULL;
    } else {
      name->Length = 0;
      status = STATUS_BUFFER_OVERFLOW;
    }
  }
  if (full) {
    if (dataLength <= dataSize) {
      if (dataLength) RtlCopyMemory(data, (PUCHAR)full + full->DataOffset, dataLength);
    } else {
      status = STATUS_BUFFER_OVERFLOW;
    }
  }
  return status;
}
