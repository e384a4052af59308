// Registry shortcuts of the run-time library: keys relative to the well-known roots,
// RtlWriteRegistryValue and friends, and RtlQueryRegistryValues with its query table
// (direct stores, query routines, defaults, subkeys, multi-string and %VAR% expansion).
#include <cstring>
#include <vector>

#include "nt/ex.h"
#include "nt/rtl.h"
#include "object.h"
#include "registry.h"
#include "pool.h"
#include "verifier.h"


namespace {

using namespace sim::kernel;
using WString = std::vector<WCHAR>;

// Pool tag of strings RtlQueryRegistryValues allocates for a direct store ("Strg").
constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ((ULONG)'g' << 24);

void CheckPassive(const void* caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > PASSIVE_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, 0, irql, 0, (ULONG_PTR)caller, "registry call above PASSIVE_LEVEL", caller);
  }
}

WString Wide(const char* s) {
  WString out;
  while (*s) out.push_back((WCHAR)*s++);
  return out;
}

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Opens (or creates, as the last path component only) the key RelativeTo and Path name.
// `owned` tells the caller whether the handle is its own to close.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK access, HANDLE* key, bool* owned) {
  *owned = false;
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    *key = (HANDLE)path;
    return STATUS_SUCCESS;
  }
  static const char* const kRoots[] = {
      "",
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
      "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      "\\Registry\\Machine\\Hardware\\DeviceMap",
      "\\Registry\\User\\.Default",
  };
  ULONG root = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
  if (root >= RTL_REGISTRY_MAXIMUM || path == nullptr) return STATUS_INVALID_PARAMETER;
  WString full = Wide(kRoots[root]);
  size_t n = WideLength(path);
  if (root != RTL_REGISTRY_ABSOLUTE && n > 0 && path[0] != '\\') full.push_back('\\');
  full.insert(full.end(), path, path + n);
  if (full.size() * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  UNICODE_STRING name = {(USHORT)(full.size() * sizeof(WCHAR)), (USHORT)(full.size() * sizeof(WCHAR)), full.data()};
  NTSTATUS st = create ? registry::CreateKey(&name, nullptr, access, 0, KernelMode, key)
                       : registry::OpenKey(&name, nullptr, access, KernelMode, key);
  *owned = NT_SUCCESS(st);
  return st;
}

void CloseIfOwned(HANDLE key, bool owned) {
  if (owned) HandleClose(key);
}

UNICODE_STRING CountedName(PCWSTR name) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, name);
  return s;
}

// ---- RtlQueryRegistryValues ---------------------------------------------------------------

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Looks `name` up in a block of NAME=VALUE strings ending with an empty string.
bool LookUp(const WCHAR* environment, const WString& name, WString* value) {
  static const WCHAR kDefaults[] = L"SystemRoot=C:\\WINDOWS\0windir=C:\\WINDOWS\0SystemDrive=C:\0";
  const WCHAR* p = environment != nullptr ? environment : kDefaults;
  while (*p != 0) {
    size_t len = WideLength(p);
    const WCHAR* eq = p;
    while (*eq != 0 && *eq != '=') ++eq;
    if (*eq == '=' && (size_t)(eq - p) == name.size()) {
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i) {
        same = RtlUpcaseUnicodeChar(p[i]) == RtlUpcaseUnicodeChar(name[i]);
      }
      if (same) {
        value->assign(eq + 1, p + len);
        return true;
      }
    }
    p += len + 1;
  }
  return false;
}

// %NAME% references replaced from the environment; unknown ones stay as written.
WString Expand(const WCHAR* text, size_t chars, const WCHAR* environment) {
  WString out;
  size_t i = 0;
  while (i < chars) {
    if (text[i] == '%') {
      size_t end = i + 1;
      while (end < chars && text[end] != '%') ++end;
      WString value;
      if (end < chars && LookUp(environment, WString(text + i + 1, text + end), &value)) {
        out.insert(out.end(), value.begin(), value.end());
        i = end + 1;
        continue;
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}

NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE e, ULONG type, const void* data, ULONG length, const void* site) {
  if (IsStringType(type)) {
    auto* us = static_cast<PUNICODE_STRING>(e->EntryContext);
    ULONG textBytes = length;
    if (textBytes >= sizeof(WCHAR) && static_cast<const WCHAR*>(data)[textBytes / sizeof(WCHAR) - 1] == 0) {
      textBytes -= sizeof(WCHAR);
    }
    if (length > UNICODE_STRING_MAX_BYTES) return STATUS_BUFFER_TOO_SMALL;
    if (us->Buffer == nullptr) {
      us->Buffer = (PWSTR)pool::Allocate(PagedPool, length ? length : sizeof(WCHAR), kStringTag, site);
      if (us->Buffer == nullptr) return STATUS_NO_MEMORY;
      us->MaximumLength = (USHORT)length;
    } else if (length > us->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(us->Buffer, data, length);
    us->Length = (USHORT)textBytes;
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    memcpy(e->EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  LONG size;
  memcpy(&size, e->EntryContext, sizeof size);
  if (size < 0) {
    if ((ULONG)-size < length) return STATUS_BUFFER_TOO_SMALL;
    memcpy(e->EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  if ((ULONG)size < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<PUCHAR>(e->EntryContext);
  memcpy(out, &length, sizeof(ULONG));
  memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
  memcpy(out + 2 * sizeof(ULONG), data, length);
  return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(PRTL_QUERY_REGISTRY_TABLE e, PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context) {
  NTSTATUS st = e->QueryRoutine(name, type, data, length, context, e->EntryContext);
  return st == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : st;
}

// Hands one value (stored or default) to the table entry.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE e, PWSTR name, ULONG type, const void* rawData, ULONG length,
                 PVOID context, PVOID environment, const void* site) {
  // Strings are handed on with a terminator even when stored without one.
  std::vector<UCHAR> data(static_cast<const UCHAR*>(rawData), static_cast<const UCHAR*>(rawData) + length);
  data.resize(length + 2 * sizeof(WCHAR), 0);
  bool expand = !(e->Flags & RTL_QUERY_REGISTRY_NOEXPAND);
  if (type == REG_EXPAND_SZ && expand) {
    WString x = Expand((const WCHAR*)data.data(), length / sizeof(WCHAR), (const WCHAR*)environment);
    while (!x.empty() && x.back() == 0) x.pop_back();
    x.push_back(0);
    data.assign((const UCHAR*)x.data(), (const UCHAR*)(x.data() + x.size()));
    length = (ULONG)(x.size() * sizeof(WCHAR));
    data.resize(length + sizeof(WCHAR), 0);
    type = REG_SZ;
  }
  if (e->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(e, type, data.data(), length, site);
  if (type == REG_MULTI_SZ && expand) {
    const WCHAR* p = (const WCHAR*)data.data();
    const WCHAR* end = p + length / sizeof(WCHAR);
    while (p < end && *p != 0) {
      ULONG n = (ULONG)WideLength(p) + 1;
      NTSTATUS st = CallRoutine(e, name, REG_SZ, (PVOID)p, n * sizeof(WCHAR), context);
      if (!NT_SUCCESS(st)) return st;
      p += n;
    }
    return STATUS_SUCCESS;
  }
  return CallRoutine(e, name, type, data.data(), length, context);
}

struct StoredValue {
  ULONG type;
  std::vector<UCHAR> data;
};

NTSTATUS ReadValue(HANDLE key, PUNICODE_STRING name, StoredValue* out) {
  std::vector<UCHAR> buf(64);
  ULONG needed = 0;
  NTSTATUS st;
  while ((st = registry::QueryValue(key, name, KeyValuePartialInformation, buf.data(), (ULONG)buf.size(), &needed,
                                    KernelMode)) == STATUS_BUFFER_OVERFLOW ||
         st == STATUS_BUFFER_TOO_SMALL) {
    buf.resize(needed);
  }
  if (!NT_SUCCESS(st)) return st;
  auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buf.data();
  out->type = info->Type;
  out->data.assign(info->Data, info->Data + info->DataLength);
  return STATUS_SUCCESS;
}

ULONG DefaultLength(ULONG type, const void* data) {
  const WCHAR* p = static_cast<const WCHAR*>(data);
  if (type == REG_SZ || type == REG_EXPAND_SZ) return (ULONG)(WideLength(p) + 1) * sizeof(WCHAR);
  size_t n = 0;  // REG_MULTI_SZ: up to and with the empty string that ends it
  while (p[n] != 0) n += WideLength(p + n) + 1;
  return (ULONG)(n + 1) * sizeof(WCHAR);
}

// Calls the entry's routine for every value of `key`.
NTSTATUS EnumerateAll(PRTL_QUERY_REGISTRY_TABLE e, HANDLE key, PVOID context, PVOID environment,
                      const void* site) {
  ULONG found = 0;
  for (ULONG index = 0;; ++index) {
    std::vector<UCHAR> buf(256);
    ULONG needed = 0;
    NTSTATUS st;
    while ((st = registry::EnumerateValue(key, index, KeyValueFullInformation, buf.data(), (ULONG)buf.size(),
                                          &needed, KernelMode)) == STATUS_BUFFER_OVERFLOW ||
           st == STATUS_BUFFER_TOO_SMALL) {
      buf.resize(needed);
    }
    if (st == STATUS_NO_MORE_ENTRIES) break;
    if (!NT_SUCCESS(st)) return st;
    auto* info = (PKEY_VALUE_FULL_INFORMATION)buf.data();
    WString name(info->Name, info->Name + info->NameLength / sizeof(WCHAR));
    name.push_back(0);
    st = Deliver(e, name.data(), info->Type, buf.data() + info->DataOffset, info->DataLength, context, environment,
                 site);
    if (!NT_SUCCESS(st)) return st;
    ++found;
  }
  if (found == 0 && (e->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS QueryEntry(PRTL_QUERY_REGISTRY_TABLE e, HANDLE key, PVOID context, PVOID environment, const void* site) {
  if (e->Flags & RTL_QUERY_REGISTRY_DIRECT) {
    if (e->Name == nullptr || e->EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
  } else if (e->QueryRoutine == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (e->Name == nullptr) {
    if (e->Flags & RTL_QUERY_REGISTRY_NOVALUE) return CallRoutine(e, nullptr, REG_NONE, nullptr, 0, context);
    if (key == nullptr) return (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    return EnumerateAll(e, key, context, environment, site);
  }
  UNICODE_STRING name = CountedName(e->Name);
  StoredValue v;
  NTSTATUS st = key != nullptr ? ReadValue(key, &name, &v) : STATUS_OBJECT_NAME_NOT_FOUND;
  if (st == STATUS_OBJECT_NAME_NOT_FOUND) {
    ULONG defaultType = e->DefaultType & 0xFF;
    if ((e->Flags & RTL_QUERY_REGISTRY_REQUIRED) || defaultType == REG_NONE) {
      return (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    }
    ULONG length = e->DefaultLength;
    if (length == 0 && IsStringType(defaultType) && e->DefaultData != nullptr) {
      length = DefaultLength(defaultType, e->DefaultData);
    }
    return Deliver(e, e->Name, defaultType, e->DefaultData, length, context, environment, site);
  }
  if (!NT_SUCCESS(st)) return st;
  if ((e->Flags & RTL_QUERY_REGISTRY_TYPECHECK) && (e->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
      v.type != (e->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  st = Deliver(e, e->Name, v.type, v.data.data(), (ULONG)v.data.size(), context, environment, site);
  if (NT_SUCCESS(st) && (e->Flags & RTL_QUERY_REGISTRY_DELETE)) registry::DeleteValue(key, &name, KernelMode);
  return st;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  CheckPassive(SIM_CALLER());
  HANDLE key;
  bool owned;
  NTSTATUS st = OpenRelative(RelativeTo, Path, false, KEY_READ, &key, &owned);
  CloseIfOwned(key, owned);
  return st;
}

NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  CheckPassive(SIM_CALLER());
  HANDLE key;
  bool owned;
  NTSTATUS st = OpenRelative(RelativeTo, Path, true, KEY_WRITE, &key, &owned);
  CloseIfOwned(key, owned);
  return st;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
  CheckPassive(SIM_CALLER());
  HANDLE key;
  bool owned;
  NTSTATUS st = OpenRelative(RelativeTo, Path, true, KEY_SET_VALUE, &key, &owned);
  if (!NT_SUCCESS(st)) return st;
  UNICODE_STRING name = CountedName(ValueName);
  st = registry::SetValue(key, &name, ValueType, ValueData, ValueLength, KernelMode);
  CloseIfOwned(key, owned);
  return st;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  CheckPassive(SIM_CALLER());
  HANDLE key;
  bool owned;
  NTSTATUS st = OpenRelative(RelativeTo, Path, false, KEY_SET_VALUE, &key, &owned);
  if (!NT_SUCCESS(st)) return st;
  UNICODE_STRING name = CountedName(ValueName);
  st = registry::DeleteValue(key, &name, KernelMode);
  CloseIfOwned(key, owned);
  return st;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
  const void* site = SIM_CALLER();
  CheckPassive(site);
  HANDLE top;
  bool ownedTop;
  NTSTATUS st = OpenRelative(RelativeTo, Path, false, KEY_READ, &top, &ownedTop);
  if (!NT_SUCCESS(st)) {
    return (st == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL)) ? STATUS_SUCCESS : st;
  }
  HANDLE current = top;
  HANDLE sub = nullptr;  // the subkey a SUBKEY entry moved to, ours to close
  auto leaveSubkey = [&]() {
    if (sub != nullptr) HandleClose(sub);
    sub = nullptr;
    current = top;
  };
  for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine != nullptr || e->Name != nullptr; ++e) {
    if (e->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
      leaveSubkey();
      if (e->QueryRoutine == nullptr) continue;
    }
    if (e->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (e->Name == nullptr) {
        st = STATUS_INVALID_PARAMETER;
        break;
      }
      leaveSubkey();
      UNICODE_STRING name = CountedName(e->Name);
      NTSTATUS open = registry::OpenKey(&name, top, KEY_READ, KernelMode, &sub);
      if (!NT_SUCCESS(open)) {
        sub = nullptr;
        if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
          st = open;
          break;
        }
      }
      current = sub;  // null: entries up to the next SUBKEY/TOPKEY find nothing
      if (e->QueryRoutine == nullptr) continue;
      if (e->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        st = CallRoutine(e, e->Name, REG_NONE, nullptr, 0, Context);
      } else {
        st = current != nullptr ? EnumerateAll(e, current, Context, Environment, site) : STATUS_SUCCESS;
      }
      if (!NT_SUCCESS(st)) break;
      continue;
    }
    st = QueryEntry(e, current, Context, Environment, site);
    if (!NT_SUCCESS(st)) break;
  }
  leaveSubkey();
  CloseIfOwned(top, ownedTop);
  return st;
}

}  // extern "C"
