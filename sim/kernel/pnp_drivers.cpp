// Driver images as the PnP manager uses them: loaded by service name when a stack needs
// them, unloaded when their last device object is gone.
#include <algorithm>
#include <mutex>
#include <vector>

#include "image.h"
#include "pnp.h"

namespace sim::kernel::pnp {
namespace {

std::mutex gLock;
std::vector<PDRIVER_OBJECT> gLoaded;  // loaded on behalf of device stacks

}  // namespace

PDRIVER_OBJECT LoadServiceDriver(const std::string& service, NTSTATUS* status) {
  PDRIVER_OBJECT d = nullptr;
  *status = LoadDriver(service, &d);
  if (!NT_SUCCESS(*status)) return nullptr;
  std::lock_guard<std::mutex> g(gLock);
  if (std::find(gLoaded.begin(), gLoaded.end(), d) == gLoaded.end()) gLoaded.push_back(d);
  return d;
}

void UnloadServiceDriverIfUnused(PDRIVER_OBJECT driver) {
  if (!driver || driver->DeviceObject) return;
  {
    std::lock_guard<std::mutex> g(gLock);
    auto it = std::find(gLoaded.begin(), gLoaded.end(), driver);
    if (it == gLoaded.end()) return;
    gLoaded.erase(it);
  }
  // A driver without DriverUnload stays loaded, as on Windows.
  UnloadDriver(driver);
}

void UnloadAllServiceDrivers() {
  std::vector<PDRIVER_OBJECT> all;
  {
    std::lock_guard<std::mutex> g(gLock);
    all = gLoaded;
  }
  for (PDRIVER_OBJECT d : all) UnloadServiceDriverIfUnused(d);
  std::lock_guard<std::mutex> g(gLock);
  gLoaded.clear();
}

}  // namespace sim::kernel::pnp
