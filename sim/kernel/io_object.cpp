// I/O manager objects: driver and device objects, device stacks, the object namespace
// of device names and symbolic links, and the per-boot reset of the I/O manager's state.
#include <cstdio>
#include <cstring>
#include <map>

#include "devnode.h"
#include "image.h"
#include "internal.h"
#include "io.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

struct Namespace {
  std::map<std::string, PDEVICE_OBJECT> devices;  // upper-case name -> device
  std::map<std::string, std::string> links;       // upper-case canonical link -> target
  ULONG autoName = 0;
};

Namespace& Ns() {
  static Namespace ns;
  return ns;
}

void DestroyDevice(void* body) {
  auto* dev = static_cast<PDEVICE_OBJECT>(body);
  bool deleted = InfoOf(dev) && InfoOf(dev)->deletePending;
  delete InfoOf(dev);
  dev->DeviceObjectExtension = nullptr;
  // At shutdown every object goes at once; the driver object may already be gone.
  if (gSched.booted && dev->DriverObject) {
    PDRIVER_OBJECT driver = dev->DriverObject;
    io::DriverBody* d = io::BodyOf(driver);
    std::unique_lock<std::recursive_mutex> g(io::Lock());
    // The last deleted device of a driver waiting to unload lets the unload go ahead.
    if (deleted && --d->deletedDevices == 0 && d->unloadPending) {
      d->unloadPending = false;
      g.unlock();
      io::PostPassive([driver] {
        UnloadDriver(driver);
        ObDeref(driver);
      });
      return;
    }
    g.unlock();
    ObDeref(driver);
  }
}

void DestroyDriver(void* body) { ObDestroy<io::DriverBody>(body); }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

bool PrefixAt(const std::string& path, const std::string& prefix) {
  if (path.size() < prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '\\';
}

template <typename Map>
typename Map::const_iterator LongestPrefix(const Map& map, const std::string& upper) {
  auto best = map.end();
  size_t bestLen = 0;
  for (auto it = map.begin(); it != map.end(); ++it)
    if (it->first.size() > bestLen && PrefixAt(upper, it->first)) {
      best = it;
      bestLen = it->first.size();
    }
  return best;
}

void CheckPassive(const char* what, const void* site) {
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, what, site);
}

}  // namespace

const ObjectType io::kDeviceType{"Device", DestroyDevice};
const ObjectType io::kDriverType{"Driver", DestroyDriver};

std::recursive_mutex& io::Lock() {
  static std::recursive_mutex m;
  return m;
}

void io::SyncBoot() {
  static std::mutex bootLock;
  static unsigned seen = ~0u;
  std::lock_guard<std::mutex> g(bootLock);
  unsigned generation;
  {
    std::lock_guard<std::mutex> d(gDispatcher);
    generation = gSched.generation;
  }
  if (generation == seen) return;
  seen = generation;
  // The objects themselves went with the previous machine's object table.
  std::lock_guard<std::recursive_mutex> l(Lock());
  Ns() = Namespace{};
  ResetIrps();
  ResetFiles();
  ResetSupport();
  ResetInterfaces();
  ResetImages();
}

std::string io::Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return u;
}

std::string io::Utf8(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return registry::ToUtf8(s->Buffer, s->Length / sizeof(WCHAR));
}

void io::MakeHostString(PUNICODE_STRING out, std::string_view text) {
  std::vector<WCHAR> w = registry::FromUtf8(text);
  out->Length = (USHORT)(w.size() * sizeof(WCHAR));
  out->MaximumLength = (USHORT)(out->Length + sizeof(WCHAR));
  out->Buffer = new WCHAR[w.size() + 1];
  if (!w.empty()) memcpy(out->Buffer, w.data(), out->Length);
  out->Buffer[w.size()] = 0;
}

void io::FreeHostString(PUNICODE_STRING s) {
  delete[] s->Buffer;
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

std::string io::CanonicalName(std::string_view name) {
  std::string u = Upper(name);
  auto rewrite = [&](const char* prefix) -> bool {
    size_t n = strlen(prefix);
    if (u.compare(0, n, prefix) != 0) return false;
    if (u.size() != n && u[n] != '\\') return false;
    name.remove_prefix(n);
    return true;
  };
  // \DosDevices and \?? are the same directory: the global one (no sessions here).
  if (rewrite("\\??") || rewrite("\\DOSDEVICES")) return "\\GLOBAL??" + std::string(name);
  return std::string(name);
}

PDEVICE_OBJECT io::ResolveDevice(std::string_view path, std::string* remainder) {
  std::lock_guard<std::recursive_mutex> g(Lock());
  std::string current = CanonicalName(path);
  for (int depth = 0; depth < 32; depth++) {
    std::string upper = Upper(current);
    auto dev = LongestPrefix(Ns().devices, upper);
    if (dev != Ns().devices.end()) {
      if (remainder) *remainder = current.substr(dev->first.size());
      ObRef(dev->second);
      return dev->second;
    }
    auto link = LongestPrefix(Ns().links, upper);
    if (link == Ns().links.end()) return nullptr;
    current = CanonicalName(link->second) + current.substr(link->first.size());
  }
  return nullptr;  // a loop of links
}

std::string io::DeviceName(PDEVICE_OBJECT device) {
  DeviceObjectInfo* info = InfoOf(device);
  return info ? info->name : std::string();
}

std::string io::ServiceOf(PDRIVER_OBJECT driver) { return driver ? BodyOf(driver)->service : std::string(); }

PDEVICE_OBJECT io::BottomOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> g(Lock());
  while (device && InfoOf(device) && InfoOf(device)->attachedTo) device = InfoOf(device)->attachedTo;
  return device;
}

PDRIVER_OBJECT io::NewDriverObject(std::string_view service, PUNICODE_STRING* registryPath) {
  SyncBoot();
  auto* body = ObNew<DriverBody>(&kDriverType);
  PDRIVER_OBJECT d = &body->object;
  d->Type = IO_TYPE_DRIVER;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = &body->extension;
  body->extension.DriverObject = d;
  body->service = std::string(service);
  auto fill = [](std::vector<WCHAR>& buf, UNICODE_STRING& s, std::string_view text) {
    buf = registry::FromUtf8(text);
    s.Length = (USHORT)(buf.size() * sizeof(WCHAR));
    buf.push_back(0);
    s.MaximumLength = (USHORT)(buf.size() * sizeof(WCHAR));
    s.Buffer = buf.data();
  };
  fill(body->nameBuffer, d->DriverName, "\\Driver\\" + std::string(service));
  fill(body->serviceBuffer, body->extension.ServiceKeyName, service);
  fill(body->registryPathBuffer, body->registryPath,
       "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::string(service));
  for (auto& f : d->MajorFunction) f = InvalidDeviceRequest;
  if (registryPath) *registryPath = &body->registryPath;
  return d;
}

void io::FinishDriverInit(PDRIVER_OBJECT driver) {
  // Devices a driver creates in DriverEntry are ready when it returns (legacy drivers
  // never clear the flag themselves).
  std::lock_guard<std::recursive_mutex> g(Lock());
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) d->Flags &= ~DO_DEVICE_INITIALIZING;
}

DeviceNode* NodeOfStack(PDEVICE_OBJECT d) {
  PDEVICE_OBJECT bottom = io::BottomOf(d);
  DeviceObjectInfo* info = InfoOf(bottom);
  return info ? info->node : nullptr;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  std::vector<PDEVICE_OBJECT> out;
  for (PDEVICE_OBJECT d = driver ? driver->DeviceObject : nullptr; d; d = d->NextDevice) out.push_back(d);
  return out;
}

PDEVICE_OBJECT FindDevice(std::string_view name) {
  io::SyncBoot();
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  auto it = Ns().devices.find(io::Upper(name));
  return it == Ns().devices.end() ? nullptr : it->second;
}

std::string LinkTarget(std::string_view link) {
  io::SyncBoot();
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  auto it = Ns().links.find(io::Upper(io::CanonicalName(link)));
  return it == Ns().links.end() ? std::string() : it->second;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

POBJECT_TYPE IoDeviceObjectTypeVar = (POBJECT_TYPE)&io::kDeviceType;
POBJECT_TYPE* IoDeviceObjectType = &IoDeviceObjectTypeVar;
POBJECT_TYPE IoDriverObjectTypeVar = (POBJECT_TYPE)&io::kDriverType;
POBJECT_TYPE* IoDriverObjectType = &IoDriverObjectTypeVar;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  CheckPassive("IoCreateDevice above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  if (!DriverObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  std::string name = io::Utf8(DeviceName);
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    char buf[32];
    snprintf(buf, sizeof buf, "\\Device\\%08lX", (unsigned long)++Ns().autoName);
    name = buf;
  }
  if (!name.empty()) {
    if (name[0] != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (Ns().devices.count(io::Upper(name))) return STATUS_OBJECT_NAME_COLLISION;
  }
  // The extension follows the object, aligned as pool would align it.
  size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
  auto* dev = static_cast<PDEVICE_OBJECT>(ObCreateObject(&io::kDeviceType, head + DeviceExtensionSize));
  dev->Type = IO_TYPE_DEVICE;
  dev->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  dev->DriverObject = DriverObject;
  dev->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char*>(dev) + head : nullptr;
  dev->DeviceType = DeviceType;
  dev->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  dev->StackSize = 1;
  dev->Queue.ListEntry.Flink = dev->Queue.ListEntry.Blink = &dev->Queue.ListEntry;
  dev->DeviceQueue.DeviceListHead.Flink = dev->DeviceQueue.DeviceListHead.Blink = &dev->DeviceQueue.DeviceListHead;
  KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
  auto* info = new DeviceObjectInfo;
  info->device = dev;
  info->name = name;
  info->exclusive = Exclusive != FALSE;
  dev->DeviceObjectExtension = info;
  if (!name.empty()) Ns().devices[io::Upper(name)] = dev;
  ObRef(DriverObject);
  // Newest first, as the driver object's list is kept on Windows.
  dev->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = dev;
  *DeviceObject = dev;
  return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const void* site = SIM_CALLER();
  CheckPassive("IoDeleteDevice above PASSIVE_LEVEL", site);
  io::SyncBoot();
  std::unique_lock<std::recursive_mutex> g(io::Lock());
  DeviceObjectInfo* info = InfoOf(DeviceObject);
  if (!DeviceObject || ObTypeOf(DeviceObject) != &io::kDeviceType || !info || info->deletePending)
    BugCheck(kDriverVerifierDetectedViolation, 0x1100, (ULONG_PTR)DeviceObject, 0, 0,
             "IoDeleteDevice of a device object that does not exist or was already deleted", site);
  // A device still attached above is normal in PnP removal: every layer passes REMOVE down
  // before it detaches, so the lower device is deleted first. The attachment holds a
  // reference; the object goes when the device above detaches.
  if (info->attachedTo)
    BugCheck(kDriverVerifierDetectedViolation, 0x1102, (ULONG_PTR)DeviceObject, (ULONG_PTR)info->attachedTo, 0,
             "device object deleted while still attached to a lower device (IoDetachDevice first)", site);
  if (info->outstandingIrps > 0)
    BugCheck(kDriverVerifierDetectedViolation, 0x1103, (ULONG_PTR)DeviceObject, (ULONG_PTR)info->outstandingIrps,
             0, "device object deleted with outstanding IRPs", site);
  if (!info->name.empty()) {
    auto it = Ns().devices.find(io::Upper(info->name));
    if (it != Ns().devices.end() && it->second == DeviceObject) Ns().devices.erase(it);
  }
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p; p = &(*p)->NextDevice)
    if (*p == DeviceObject) {
      *p = DeviceObject->NextDevice;
      break;
    }
  info->deletePending = true;
  io::BodyOf(driver)->deletedDevices++;
  g.unlock();
  // Open file objects keep the memory until they close.
  ObDeref(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  while (DeviceObject && DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  if (top) ObRef(top);
  return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  CheckPassive("IoAttachDeviceToDeviceStack above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  if (!SourceDevice || !TargetDevice) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  DeviceObjectInfo* topInfo = InfoOf(top);
  DeviceObjectInfo* srcInfo = InfoOf(SourceDevice);
  // A stack being torn down takes no new members.
  if (!topInfo || topInfo->deletePending || !srcInfo || srcInfo->attachedTo) return nullptr;
  top->AttachedDevice = SourceDevice;
  srcInfo->attachedTo = top;
  ObRef(top);  // released by IoDetachDevice, so a deleted lower device outlives the attachment
  SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  return top;
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  CheckPassive("IoDetachDevice above PASSIVE_LEVEL", SIM_CALLER());
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  if (!TargetDevice || !TargetDevice->AttachedDevice)
    BugCheck(kDriverVerifierDetectedViolation, 0x1104, (ULONG_PTR)TargetDevice, 0, 0,
             "IoDetachDevice on a device with nothing attached", SIM_CALLER());
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (DeviceObjectInfo* info = InfoOf(above)) info->attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  ObDeref(TargetDevice);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  CheckPassive("IoCreateSymbolicLink above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  std::string link = io::Utf8(SymbolicLinkName), target = io::Utf8(DeviceName);
  if (link.empty() || link[0] != '\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  std::string key = io::Upper(io::CanonicalName(link));
  if (Ns().links.count(key) || Ns().devices.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  Ns().links[key] = target;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  CheckPassive("IoDeleteSymbolicLink above PASSIVE_LEVEL", SIM_CALLER());
  io::SyncBoot();
  std::lock_guard<std::recursive_mutex> g(io::Lock());
  return Ns().links.erase(io::Upper(io::CanonicalName(io::Utf8(SymbolicLinkName)))) ? STATUS_SUCCESS
                                                                                      : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
