// The driver image loader: finds a service's image from its ImagePath, maps it with its
// own globals, enters DriverEntry, and at unload runs DriverUnload, the pool leak check
// of the image and unmaps it. Test drivers linked into the executable load the same way.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "image.h"
#include "internal.h"
#include "io.h"
#include "kernel.h"
#include "pool.h"
#include "registry.h"
#include "verifier.h"

namespace sim::kernel {
namespace {

constexpr ULONG kServiceStartDisabled = 4;
constexpr ULONG kServiceKernelDriver = 1, kServiceFileSystemDriver = 2;

struct Loaded {
  PDRIVER_OBJECT driver;
  void* handle;
  const void* base;
};

struct Images {
  std::mutex lock;
  std::vector<std::string> dirs;
  std::map<std::string, PDRIVER_INITIALIZE> builtin;  // upper-case name -> entry
  std::map<std::string, Loaded> loaded;               // upper-case service -> image
  // Mappings of unloaded images. A completion routine or DPC of a driver may still be
  // returning through its code when the driver unloads (the race IoSetCompletionRoutineEx
  // exists for); the mapping goes when the machine shuts down, not under such a thread.
  std::vector<std::pair<void*, const void*>> retired;  // handle, registered base
  // Private copies of image files: kept while mapped so reports can name their code.
  std::vector<std::string> copies;
};

Images& I() {
  static Images images;
  return images;
}

// "\SystemRoot\System32\drivers\Q93Kus.sys" -> "Q93Kus".
std::string BaseName(const std::string& imagePath) {
  size_t slash = imagePath.find_last_of("\\/");
  std::string file = slash == std::string::npos ? imagePath : imagePath.substr(slash + 1);
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

std::string FindImageFile(const std::string& base, const std::vector<std::string>& dirs) {
  std::vector<std::string> names = {base + ".so", "lib" + base + ".so"};
  for (const std::string& dir : dirs) {
    for (const std::string& n : names) {
      std::string path = dir + "/" + n;
      if (FILE* f = fopen(path.c_str(), "rb")) {
        fclose(f);
        return path;
      }
    }
    // Windows file names ignore case; the build's may not match the ImagePath's.
    if (DIR* d = opendir(dir.c_str())) {
      std::string found;
      while (dirent* e = readdir(d)) {
        std::string n = io::Upper(e->d_name);
        for (const std::string& want : names)
          if (n == io::Upper(want)) found = dir + "/" + e->d_name;
        if (!found.empty()) break;
      }
      closedir(d);
      if (!found.empty()) return found;
    }
  }
  return {};
}

void CheckPassive(const char* what, const void* site) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, what, site);
}

void ForgetImage(io::DriverBody* body) {
  if (body->handle) {
    std::lock_guard<std::mutex> g(I().lock);
    I().retired.push_back({body->handle, body->base});
  }
  body->handle = nullptr;
  body->unloaded = true;
}

}  // namespace

void SetImageDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> g(I().lock);
  I().dirs = {dir};
}

void AddImageDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> g(I().lock);
  I().dirs.push_back(dir);
}

std::vector<std::string> ImageDirectories() {
  std::lock_guard<std::mutex> g(I().lock);
  return I().dirs;
}

void RegisterBuiltinImage(const std::string& name, PDRIVER_INITIALIZE entry) {
  std::lock_guard<std::mutex> g(I().lock);
  I().builtin[io::Upper(name)] = entry;
}

void UnregisterBuiltinImage(const std::string& name) {
  std::lock_guard<std::mutex> g(I().lock);
  I().builtin.erase(io::Upper(name));
}

static void RemoveCopies() {
  std::vector<std::string> copies;
  {
    std::lock_guard<std::mutex> g(I().lock);
    copies.swap(I().copies);
  }
  for (const std::string& c : copies) unlink(c.c_str());
}

void ResetImages() {
  // The driver objects went with the previous machine; only the mappings remain.
  std::map<std::string, Loaded> old;
  {
    std::lock_guard<std::mutex> g(I().lock);
    old.swap(I().loaded);
  }
  std::vector<std::pair<void*, const void*>> retired;
  {
    std::lock_guard<std::mutex> g(I().lock);
    retired.swap(I().retired);
  }
  for (auto& [name, l] : old)
    if (l.handle) {
      UnregisterImage(l.base);
      dlclose(l.handle);
    }
  for (auto& [handle, base] : retired) {
    UnregisterImage(base);
    dlclose(handle);
  }
  RemoveCopies();
}

// Each load maps its own copy of the image file, so a driver loaded again after an unload
// starts with fresh globals even while the old mapping is still retired.
static std::string PrivateCopy(const std::string& file) {
  char path[] = "/tmp/q93k-image-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "";
  FILE* in = fopen(file.c_str(), "rb");
  bool ok = in != nullptr;
  char buffer[65536];
  while (ok) {
    size_t n = fread(buffer, 1, sizeof buffer, in);
    if (n == 0) break;
    ok = write(fd, buffer, n) == (ssize_t)n;
  }
  if (in) fclose(in);
  close(fd);
  if (!ok) {
    unlink(path);
    return "";
  }
  std::lock_guard<std::mutex> g(I().lock);
  if (I().copies.empty()) {
    static bool registered = false;
    if (!registered) atexit(RemoveCopies);
    registered = true;
  }
  I().copies.push_back(path);
  return path;
}

PDRIVER_OBJECT LoadedDriver(const std::string& serviceName) {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(I().lock);
  auto it = I().loaded.find(io::Upper(serviceName));
  return it == I().loaded.end() ? nullptr : it->second.driver;
}

std::vector<std::string> LoadedDrivers() {
  io::SyncBoot();
  std::lock_guard<std::mutex> g(I().lock);
  std::vector<std::string> out;
  for (auto& [name, l] : I().loaded) out.push_back(io::ServiceOf(l.driver));
  return out;
}

NTSTATUS LoadDriver(const std::string& serviceName, PDRIVER_OBJECT* out) {
  const void* site = SIM_CALLER();
  CheckPassive("LoadDriver above PASSIVE_LEVEL", site);
  io::SyncBoot();
  if (out) *out = nullptr;
  if (PDRIVER_OBJECT existing = LoadedDriver(serviceName)) {
    if (out) *out = existing;
    return STATUS_SUCCESS;
  }
  std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  if (serviceName.empty() || !registry::KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::optional<ULONG> type = registry::GetDword(key, "Type");
  if (type && *type != kServiceKernelDriver && *type != kServiceFileSystemDriver) return STATUS_INVALID_PARAMETER;
  std::optional<ULONG> start = registry::GetDword(key, "Start");
  if (start && *start == kServiceStartDisabled) return STATUS_INVALID_DEVICE_STATE;
  std::optional<std::string> imagePath = registry::GetString(key, "ImagePath");
  std::string base = imagePath && !imagePath->empty() ? BaseName(*imagePath) : serviceName;

  PDRIVER_INITIALIZE entry = nullptr;
  void* handle = nullptr;
  std::vector<std::string> dirs;
  {
    std::lock_guard<std::mutex> g(I().lock);
    auto it = I().builtin.find(io::Upper(base));
    if (it == I().builtin.end()) it = I().builtin.find(io::Upper(serviceName));
    if (it != I().builtin.end()) entry = it->second;
    dirs = I().dirs;
  }
  const void* moduleBase = nullptr;
  std::string imageName;
  if (entry) {
    Dl_info info{};
    if (dladdr((const void*)entry, &info)) moduleBase = info.dli_fbase;
    // Pool of a builtin image is attributed to the executable holding it.
    imageName = ImageNameOf((const void*)entry);
  } else {
    std::string file = FindImageFile(base, dirs);
    if (file.empty()) return STATUS_NO_SUCH_FILE;
    // RTLD_LOCAL: every image keeps its own globals and its own copy of the driver library.
    std::string copy = PrivateCopy(file);
    if (copy.empty()) return STATUS_INSUFFICIENT_RESOURCES;
    handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      fprintf(stderr, "sim: cannot load %s: %s\n", file.c_str(), dlerror());
      return STATUS_INVALID_PARAMETER;
    }
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (!entry) {
      dlclose(handle);
      return STATUS_INVALID_PARAMETER;
    }
    Dl_info info{};
    dladdr((const void*)entry, &info);
    moduleBase = info.dli_fbase;
    imageName = base + ".sys";
    RegisterImage(moduleBase, imageName);
  }

  PUNICODE_STRING registryPath = nullptr;
  PDRIVER_OBJECT driver = io::NewDriverObject(serviceName, &registryPath);
  io::DriverBody* body = io::BodyOf(driver);
  body->handle = handle;
  body->base = moduleBase;
  body->imageName = imageName;
  driver->DriverInit = entry;
  driver->DriverStart = const_cast<void*>(moduleBase);

  NTSTATUS st = entry(driver, registryPath);
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "DriverEntry returned above PASSIVE_LEVEL",
             (const void*)entry);
  if (!NT_SUCCESS(st)) {
    // A driver that fails its entry is unloaded without DriverUnload; it must have
    // released what it took.
    if (handle) pool::VerifyImageUnload(imageName);
    ForgetImage(body);
    ObDeref(driver);
    return st;
  }
  io::FinishDriverInit(driver);
  {
    std::lock_guard<std::mutex> g(I().lock);
    I().loaded[io::Upper(serviceName)] = Loaded{driver, handle, moduleBase};
  }
  if (out) *out = driver;
  return STATUS_SUCCESS;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) {
  const void* site = SIM_CALLER();
  CheckPassive("UnloadDriver above PASSIVE_LEVEL", site);
  io::SyncBoot();
  io::DriverBody* body = io::BodyOf(driver);
  if (!driver || body->unloaded) return STATUS_INVALID_PARAMETER;
  // A Plug and Play driver goes when its last device has gone; a legacy driver deletes its
  // own devices in DriverUnload.
  if (driver->DriverExtension->AddDevice && driver->DeviceObject) return STATUS_DEVICE_BUSY;
  if (!driver->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
  // Deleted device objects still referenced (an open file object, a device above not yet
  // detached) keep the image: requests such as IRP_MJ_CLOSE still reach its code. The
  // unload runs when the last of them goes.
  {
    std::lock_guard<std::recursive_mutex> g(io::Lock());
    if (body->deletedDevices.load() > 0) {
      body->unloadPending = true;
      return STATUS_PENDING;
    }
  }
  PDRIVER_UNLOAD unload = driver->DriverUnload;
  unload(driver);
  if (CurrentIrql() != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, 0, CurrentIrql(), 0, 0, "DriverUnload returned above PASSIVE_LEVEL",
             (const void*)unload);
  if (driver->DeviceObject)
    BugCheck(kDriverVerifierDetectedViolation, 0x1400, (ULONG_PTR)driver, (ULONG_PTR)driver->DeviceObject, 0,
             "driver unloaded with device objects left", (const void*)unload);
  if (const void* routine = PendingDeferredWorkIn(body->imageName))
    BugCheck(0xCE, (ULONG_PTR)routine, 0, 0, 0,
             "driver unloaded with a timer still set or a DPC still queued (its routine would run after unload)",
             routine);
  pool::VerifyImageUnload(body->imageName);
  {
    std::lock_guard<std::mutex> g(I().lock);
    I().loaded.erase(io::Upper(body->service));
  }
  ForgetImage(body);
  ObDeref(driver);
  return STATUS_SUCCESS;
}

}  // namespace sim::kernel
