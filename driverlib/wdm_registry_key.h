// Registry keys of the driver class library: a key opened under one of the standard
// roots (or a device's class key), DWORD queries and value enumeration.
#pragma once

#include "wdm_base.h"
#include "wdm_string.h"

// The roots a key is opened relative to.
enum WdmRegistryRoot {
  WdmRootAbsolute = 0,  // empty prefix: the relative path is the full path
  WdmRootServices = 1,  // \Registry\Machine\System\CurrentControlSet\Services
  WdmRootControl = 2,  // \Registry\Machine\System\CurrentControlSet\Control
  WdmRootWindowsNt = 3,  // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
  WdmRootDeviceMap = 4,  // \REGISTRY\Machine\HARDWARE\DEVICEMAP
  WdmRootUser = 5,  // \Registry\User
};

// What EnumerateValue learnt about a value, also when the caller's buffers were short.
struct WdmRegistryValueInfo {
  ULONG Type;
  ULONG DataLength;  // bytes
  ULONG NameLength;  // bytes, no terminator
};

class WdmRegistryKey {
 public:
  HANDLE Key;
  NTSTATUS Status;  // of the last operation
  WdmString RootPath;  // copies of what the key was opened with
  WdmString RelativePath;
  ACCESS_MASK DesiredAccess;
  ULONG Attributes;
  BOOLEAN Create;
  ULONG CreateOptions;
  ULONG EnumIndex;  // next value EnumerateValue reads; 0 after every open

  WdmRegistryKey();
  ~WdmRegistryKey();
  WdmRegistryKey(const WdmRegistryKey&) = delete;
  WdmRegistryKey& operator=(const WdmRegistryKey&) = delete;

  // Opens (or with `create`, creates) root + "\" + relative; an empty relative path opens
  // the root itself. `root` is a WdmRegistryRoot.
  NTSTATUS Open(ULONG root, PCWSTR relative, ACCESS_MASK access = KEY_READ, ULONG attributes = OBJ_CASE_INSENSITIVE,
                BOOLEAN create = FALSE, ULONG createOptions = REG_OPTION_NON_VOLATILE);
  // Opens `relative` under the class (driver) key of the device `pdo`.
  NTSTATUS OpenDeviceKey(PDEVICE_OBJECT pdo, PCWSTR relative, ACCESS_MASK access = KEY_READ,
                         ULONG attributes = OBJ_CASE_INSENSITIVE, BOOLEAN create = FALSE,
                         ULONG createOptions = REG_OPTION_NON_VOLATILE);
  // A value of exactly four bytes (any type); otherwise STATUS_OBJECT_TYPE_MISMATCH and
  // *value is left as it was.
  NTSTATUS QueryDword(PCWSTR name, PULONG value);
  // Reads value number EnumIndex and advances. `name` (may be null) receives the name when
  // it fits, else its Length is 0 and the result is STATUS_BUFFER_OVERFLOW; with `data`
  // null only the name is read, else the data when it fits in `dataSize` bytes (else
  // STATUS_BUFFER_OVERFLOW). `info` (may be null) gets type and sizes whenever the value
  // was read. STATUS_NO_MORE_ENTRIES after the last value.
  NTSTATUS EnumerateValue(PUNICODE_STRING name, PVOID data, ULONG dataSize, WdmRegistryValueInfo* info);
  void Close();

  BOOLEAN IsOpen() const { return Key != NULL; }

 private:
  NTSTATUS OpenPath(PCUNICODE_STRING root, PCWSTR relative, ACCESS_MASK access, ULONG attributes, BOOLEAN create,
                    ULONG createOptions);
  NTSTATUS ReportValue(PKEY_VALUE_FULL_INFORMATION full, PKEY_VALUE_BASIC_INFORMATION basic, ULONG resultLength,
                       PUNICODE_STRING name, PVOID data, ULONG dataSize, WdmRegistryValueInfo* info);
};
