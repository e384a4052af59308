// What the I/O manager answers about Plug and Play devices: device interfaces and their
// links, device properties from the device node, and the device and driver registry keys.
#include <cstdio>
#include <cstring>
#include <map>

#include "devnode.h"
#include "internal.h"
#include "io.h"
#include "pool.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ((ULONG)'g' << 24);
const char kMachine[] = "\\Registry\\Machine\\System\\CurrentControlSet\\";

struct Interface {
  std::string classGuid;  // upper case, with braces
  std::string link;       // "\??\USB#...#{guid}", without the reference string
  std::string reference;  // empty or "ref"
  std::string target;     // the PDO's name
  std::string key;        // its registry key
  bool enabled = false;
};

std::mutex gIfLock;
std::map<std::string, Interface> gInterfaces;  // upper-case full link name (with reference) -> interface

std::string GuidText(const GUID* g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g->Data1, g->Data2,
           g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
           g->Data4[7]);
  return buf;
}

std::string FullName(const Interface& i) { return i.reference.empty() ? i.link : i.link + "\\" + i.reference; }

void CheckPassive(const char* what, const void* site) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, what, site);
}

DeviceNode* NodeOfPdo(PDEVICE_OBJECT d) {
  DeviceObjectInfo* info = InfoOf(d);
  return info ? info->node : nullptr;
}

void AppendWide(std::vector<uint8_t>& out, const std::string& s) {
  std::vector<WCHAR> w = registry::FromUtf8(s);
  w.push_back(0);
  const auto* p = reinterpret_cast<const uint8_t*>(w.data());
  out.insert(out.end(), p, p + w.size() * sizeof(WCHAR));
}

std::string EnumKey(const DeviceNode* node) { return std::string(kMachine) + "Enum\\" + node->instancePath; }

// The 98 platform keeps driver keys under Services\Class; NT under Control\Class.
std::string ClassRoot() {
  std::string nt = std::string(kMachine) + "Control\\Class";
  return registry::KeyExists(nt) ? nt : std::string(kMachine) + "Services\\Class";
}

}  // namespace

void io::ResetInterfaces() {
  std::lock_guard<std::mutex> g(gIfLock);
  gInterfaces.clear();
}

std::vector<std::string> EnabledInterfaces(std::string_view classGuid) {
  io::SyncBoot();
  std::string want = io::Upper(classGuid);
  std::lock_guard<std::mutex> g(gIfLock);
  std::vector<std::string> out;
  for (auto& [name, i] : gInterfaces)
    if (i.enabled && i.classGuid == want) out.push_back(FullName(i));
  return out;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  const void* site = SIM_CALLER();
  CheckPassive("IoRegisterDeviceInterface above PASSIVE_LEVEL", site);
  io::SyncBoot();
  DeviceNode* node = NodeOfPdo(PhysicalDeviceObject);
  if (!node || !InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_DEVICE_REQUEST;
  Interface i;
  i.classGuid = GuidText(InterfaceClassGuid);
  std::string instance = node->instancePath;
  for (char& c : instance)
    if (c == '\\') c = '#';
  i.link = "\\??\\" + instance + "#" + i.classGuid;
  i.reference = io::Utf8(ReferenceString);
  if (i.reference.find('\\') != std::string::npos) return STATUS_INVALID_PARAMETER;
  i.target = node->pdoName.empty() ? io::DeviceName(PhysicalDeviceObject) : node->pdoName;
  i.key = std::string(kMachine) + "Control\\DeviceClasses\\" + i.classGuid + "\\##?#" + instance + "#" + i.classGuid;
  std::string full = FullName(i);
  {
    std::lock_guard<std::mutex> g(gIfLock);
    auto it = gInterfaces.find(io::Upper(full));
    if (it == gInterfaces.end()) gInterfaces[io::Upper(full)] = i;
  }
  registry::SetString(i.key, "DeviceInstance", node->instancePath);
  registry::SetString(i.key + "\\#" + i.reference, "SymbolicLink", "\\\\?\\" + full.substr(4));
  // The caller frees the name with RtlFreeUnicodeString: charge it to the caller.
  std::vector<WCHAR> w = registry::FromUtf8(full);
  size_t bytes = (w.size() + 1) * sizeof(WCHAR);
  auto* buf = static_cast<PWSTR>(pool::Allocate(PagedPool, bytes, kStringTag, site));
  if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buf, w.data(), w.size() * sizeof(WCHAR));
  buf[w.size()] = 0;
  SymbolicLinkName->Buffer = buf;
  SymbolicLinkName->Length = (USHORT)(w.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = (USHORT)bytes;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  CheckPassive("IoSetDeviceInterfaceState above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  std::string name = io::Upper(io::Utf8(SymbolicLinkName));
  Interface copy;
  bool linkStillUsed = false;
  {
    std::lock_guard<std::mutex> g(gIfLock);
    auto it = gInterfaces.find(name);
    if (it == gInterfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if ((it->second.enabled != FALSE) == (Enable != FALSE)) return STATUS_SUCCESS;
    it->second.enabled = Enable != FALSE;
    copy = it->second;
    for (auto& [n, other] : gInterfaces)
      if (n != name && other.enabled && io::Upper(other.link) == io::Upper(copy.link)) linkStillUsed = true;
  }
  UNICODE_STRING link, target;
  io::MakeHostString(&link, copy.link);
  io::MakeHostString(&target, copy.target);
  // Interfaces of one device that differ only in the reference string share the link.
  if (Enable && !linkStillUsed) IoCreateSymbolicLink(&link, &target);
  if (!Enable && !linkStillUsed) IoDeleteSymbolicLink(&link);
  io::FreeHostString(&link);
  io::FreeHostString(&target);
  registry::SetDword(copy.key + "\\#" + copy.reference + "\\Control", "Linked", Enable ? 1 : 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                                PHANDLE DeviceInterfaceKey) {
  CheckPassive("IoOpenDeviceInterfaceRegistryKey above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  std::string key;
  {
    std::lock_guard<std::mutex> g(gIfLock);
    auto it = gInterfaces.find(io::Upper(io::Utf8(SymbolicLinkName)));
    if (it == gInterfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key = it->second.key + "\\#" + it->second.reference + "\\Device Parameters";
  }
  registry::CreateKey(key);
  return registry::OpenKey(key, nullptr, DesiredAccess, KernelMode, DeviceInterfaceKey);
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                   ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  CheckPassive("IoGetDeviceProperty above PASSIVE_LEVEL", SIM_CALLER());
  DeviceNode* node = NodeOfPdo(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<uint8_t> value;
  auto text = [&](const std::string& s) -> bool {
    if (s.empty()) return false;
    AppendWide(value, s);
    return true;
  };
  auto multi = [&](const std::vector<std::string>& list) -> bool {
    if (list.empty()) return false;
    for (const std::string& s : list) AppendWide(value, s);
    AppendWide(value, "");
    return true;
  };
  auto number = [&](ULONG v) {
    value.resize(sizeof v);
    memcpy(value.data(), &v, sizeof v);
    return true;
  };
  auto fromEnum = [&](const char* name) { return text(registry::GetString(EnumKey(node), name).value_or("")); };
  bool found = false;
  switch (DeviceProperty) {
    case DevicePropertyDeviceDescription:
      found = text(node->description) || fromEnum("DeviceDesc");
      break;
    case DevicePropertyHardwareID: found = multi(node->hardwareIds); break;
    case DevicePropertyCompatibleIDs: found = multi(node->compatibleIds); break;
    case DevicePropertyClassGuid: found = text(node->classGuid) || fromEnum("ClassGUID"); break;
    case DevicePropertyClassName: found = fromEnum("Class"); break;
    case DevicePropertyDriverKeyName: found = text(node->driverKey) || fromEnum("Driver"); break;
    case DevicePropertyManufacturer: found = fromEnum("Mfg"); break;
    case DevicePropertyFriendlyName: found = fromEnum("FriendlyName"); break;
    case DevicePropertyLocationInformation:
      found = text(node->location) || fromEnum("LocationInformation");
      break;
    case DevicePropertyPhysicalDeviceObjectName:
      found = text(node->pdoName.empty() ? io::DeviceName(DeviceObject) : node->pdoName);
      break;
    case DevicePropertyEnumeratorName: found = text(node->enumerator); break;
    case DevicePropertyAddress: found = number(node->address); break;
    case DevicePropertyUINumber: found = node->uiNumber != 0xFFFFFFFF && number(node->uiNumber); break;
    default: return STATUS_INVALID_PARAMETER_2;
  }
  if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (ResultLength) *ResultLength = (ULONG)value.size();
  if (BufferLength < value.size() || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
  memcpy(PropertyBuffer, value.data(), value.size());
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  CheckPassive("IoOpenDeviceRegistryKey above PASSIVE_LEVEL", SIM_CALLER());
  DeviceNode* node = NodeOfPdo(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  std::string path;
  if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
    path = EnumKey(node) + "\\Device Parameters";
  } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
    if (node->driverKey.empty()) return STATUS_INVALID_PARAMETER;  // no driver installed yet
    path = ClassRoot() + "\\" + node->driverKey;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  // Created on first use, as the PnP manager does for a new device.
  registry::CreateKey(path);
  return registry::OpenKey(path, nullptr, DesiredAccess, KernelMode, DevInstRegKey);
}

}  // extern "C"
