// Object names for ObQueryNameString: device objects answer with the name they were
// created with ("\Device\..."), unnamed objects with an empty name.
#include <cstring>

#include "devnode.h"
#include "object.h"
#include "registry.h"
#include "verifier.h"

using namespace sim::kernel;

extern "C" NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                            PULONG ReturnLength) {
  if (KeGetCurrentIrql() > APC_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (ULONG_PTR)Object, KeGetCurrentIrql(), 0, 0, "ObQueryNameString above APC_LEVEL",
             SIM_CALLER());
  std::string name;
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (device && device->Type == IO_TYPE_DEVICE && InfoOf(device)) name = InfoOf(device)->name;
  std::vector<WCHAR> wide = registry::FromUtf8(name);
  ULONG needed = sizeof(OBJECT_NAME_INFORMATION) + (ULONG)(wide.size() + 1) * sizeof(WCHAR);
  if (ReturnLength) *ReturnLength = needed;
  if (!ObjectNameInfo || Length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  auto* text = reinterpret_cast<PWSTR>(ObjectNameInfo + 1);
  if (!wide.empty()) memcpy(text, wide.data(), wide.size() * sizeof(WCHAR));
  text[wide.size()] = 0;
  ObjectNameInfo->Name.Buffer = wide.empty() ? nullptr : text;
  ObjectNameInfo->Name.Length = (USHORT)(wide.size() * sizeof(WCHAR));
  ObjectNameInfo->Name.MaximumLength = (USHORT)((wide.size() + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}
