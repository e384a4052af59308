// Driver images as the PnP manager uses them: loaded by service name when a stack needs
// them, unloaded when their last device object is gone.
#include <algorithm>
#include <mutex>
#include <vector>

#include "image.h"
#include "internal.h"
#include "pnp.h"

namespace sim::kernel::pnp {
namespace {

std::mutex gLock;
std::vector<PDRIVER_OBJECT> gLoaded;  // loaded on behalf of device stacks
unsigned gGeneration = ~0u;

// Under gLock: a new boot forgets the previous machine's driver objects.
void SyncBoot() {
  if (gGeneration == gSched.generation) return;
  gLoaded.clear();
  gGeneration = gSched.generation;
}

}  // namespace

PDRIVER_OBJECT LoadServiceDriver(const std::string& service, NTSTATUS* status) {
  PDRIVER_OBJECT d = nullptr;
  *status = LoadDriver(service, &d);
  if (!NT_SUCCESS(*status)) return nullptr;
  std::lock_guard<std::mutex> g(gLock);
  SyncBoot();
  if (std::find(gLoaded.begin(), gLoaded.end(), d) == gLoaded.end()) gLoaded.push_back(d);
  return d;
}

void UnloadServiceDriverIfUnused(PDRIVER_OBJECT driver) {
  {
    std::lock_guard<std::mutex> g(gLock);
    SyncBoot();
    auto it = std::find(gLoaded.begin(), gLoaded.end(), driver);
    if (it == gLoaded.end() || driver->DeviceObject) return;
    gLoaded.erase(it);
  }
  // A driver without DriverUnload stays loaded, as on Windows.
  UnloadDriver(driver);
}

void UnloadAllServiceDrivers() {
  std::vector<PDRIVER_OBJECT> all;
  {
    std::lock_guard<std::mutex> g(gLock);
    SyncBoot();
    all = gLoaded;
  }
  for (PDRIVER_OBJECT d : all) UnloadServiceDriverIfUnused(d);
  std::lock_guard<std::mutex> g(gLock);
  gLoaded.clear();
}

}  // namespace sim::kernel::pnp
