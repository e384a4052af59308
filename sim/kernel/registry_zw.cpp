// The ZwXxxKey exports drivers call: kernel-mode entry points into the hive, each
// refused with a bugcheck above PASSIVE_LEVEL as the verifier refuses them.
#include "nt/registry.h"

#include "nt/ke.h"
#include "registry.h"
#include "verifier.h"

namespace {

using namespace sim::kernel;

void CheckPassive(const void* caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > PASSIVE_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, 0, irql, 0, (ULONG_PTR)caller, "registry call above PASSIVE_LEVEL", caller);
  }
}

PCUNICODE_STRING NameOf(POBJECT_ATTRIBUTES attributes) {
  return attributes != nullptr ? attributes->ObjectName : nullptr;
}

HANDLE RootOf(POBJECT_ATTRIBUTES attributes) { return attributes != nullptr ? attributes->RootDirectory : nullptr; }

}  // namespace

extern "C" {

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  CheckPassive(SIM_CALLER());
  if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  return registry::CreateKey(NameOf(ObjectAttributes), RootOf(ObjectAttributes), DesiredAccess, CreateOptions,
                             KernelMode, KeyHandle, Disposition, Class);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  CheckPassive(SIM_CALLER());
  if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  return registry::OpenKey(NameOf(ObjectAttributes), RootOf(ObjectAttributes), DesiredAccess, KernelMode, KeyHandle);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  CheckPassive(SIM_CALLER());
  return registry::QueryValue(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                              ResultLength, KernelMode);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  CheckPassive(SIM_CALLER());
  return registry::SetValue(KeyHandle, ValueName, Type, Data, DataSize, KernelMode);
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  CheckPassive(SIM_CALLER());
  return registry::DeleteValue(KeyHandle, ValueName, KernelMode);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  CheckPassive(SIM_CALLER());
  return registry::DeleteKey(KeyHandle, KernelMode);
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  CheckPassive(SIM_CALLER());
  return registry::EnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength,
                                KernelMode);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  CheckPassive(SIM_CALLER());
  return registry::EnumerateValue(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                                  ResultLength, KernelMode);
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) {
  CheckPassive(SIM_CALLER());
  return registry::QueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  CheckPassive(SIM_CALLER());
  return registry::FlushKey(KeyHandle, KernelMode);
}

}  // extern "C"
