// The registry side of the PnP manager: the driver database the INF installer writes,
// matching a device's ids against it, and the device's Enum key and driver key.
#include <cstdio>

#include "pnp.h"
#include "registry.h"

namespace sim::kernel::pnp {
namespace {

constexpr const char* kEnumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr const char* kNtClassRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
constexpr const char* k98ClassRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class";

std::string EnumKey(const DeviceNode* n) { return std::string(kEnumRoot) + n->instancePath; }

bool Win98Layout() { return !registry::KeyExists(kNtClassRoot) && registry::KeyExists(k98ClassRoot); }

void CopyTree(const std::string& from, const std::string& to) {
  registry::CreateKey(to);
  for (const std::string& name : registry::ValueNames(from)) {
    auto type = registry::GetType(from, name);
    auto data = registry::GetBinary(from, name);
    if (type && data) registry::SetBinary(to, name, *data, *type);
  }
  for (const std::string& sub : registry::SubKeys(from)) CopyTree(from + "\\" + sub, to + "\\" + sub);
}

}  // namespace

ULONG ConfigFlags(const DeviceNode* n) { return registry::GetDword(EnumKey(n), "ConfigFlags").value_or(0); }
void SetConfigFlags(const DeviceNode* n, ULONG flags) { registry::SetDword(EnumKey(n), "ConfigFlags", flags); }

void WriteDeviceKey(const DeviceNode* n, const DEVICE_CAPABILITIES& c) {
  std::string key = EnumKey(n);
  registry::CreateKey(key + "\\Device Parameters");
  registry::SetMultiString(key, "HardwareID", n->hardwareIds);
  if (!n->compatibleIds.empty()) registry::SetMultiString(key, "CompatibleIDs", n->compatibleIds);
  if (!registry::GetString(key, "DeviceDesc") && !n->description.empty())
    registry::SetString(key, "DeviceDesc", n->description);
  if (!n->location.empty()) registry::SetString(key, "LocationInformation", n->location);
  ULONG capBits = (c.LockSupported ? 0x1 : 0) | (c.EjectSupported ? 0x2 : 0) | (c.Removable ? 0x4 : 0) |
                  (c.DockDevice ? 0x8 : 0) | (c.UniqueID ? 0x10 : 0) | (c.SilentInstall ? 0x20 : 0) |
                  (c.RawDeviceOK ? 0x40 : 0) | (c.SurpriseRemovalOK ? 0x80 : 0);
  registry::SetDword(key, "Capabilities", capBits);
  if (n->uiNumber != 0xFFFFFFFF) registry::SetDword(key, "UINumber", n->uiNumber);
  if (n->address != 0xFFFFFFFF) registry::SetDword(key, "Address", n->address);
  SetConfigFlags(n, ConfigFlags(n));
}

namespace {

// Next free four-digit instance under the class key.
std::string NewDriverKey(const std::string& classRoot, const std::string& classKey) {
  for (int i = 0; i < 10000; i++) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04d", i);
    std::string path = classRoot + "\\" + classKey + "\\" + buf;
    if (!registry::KeyExists(path)) {
      registry::CreateKey(path);
      return classKey + "\\" + buf;
    }
  }
  return {};
}

}  // namespace

// Finds the installed driver of a node and writes the device and driver keys.
bool MatchDriver(DeviceNode* n) {
  std::string key = EnumKey(n);
  if (auto svc = registry::GetString(key, "Service"); svc && !svc->empty()) {
    // Installed before (or given by the root bus): keep what the Enum key says.
    n->service = *svc;
    n->classGuid = registry::GetString(key, "ClassGUID").value_or("");
    n->driverKey = registry::GetString(key, "Driver").value_or("");
    n->lowerFilters = registry::GetMultiString(key, "LowerFilters").value_or(std::vector<std::string>{});
    n->upperFilters = registry::GetMultiString(key, "UpperFilters").value_or(std::vector<std::string>{});
    return true;
  }
  std::vector<std::string> ids = n->hardwareIds;
  ids.insert(ids.end(), n->compatibleIds.begin(), n->compatibleIds.end());
  for (const std::string& id : ids) {
    std::string rec = std::string(kDriverDatabase) + "\\" + EscapeHardwareId(id);
    auto svc = registry::GetString(rec, "Service");
    if (!svc || svc->empty()) continue;
    n->service = *svc;
    n->classGuid = registry::GetString(rec, "ClassGUID").value_or("");
    std::string className = registry::GetString(rec, "Class").value_or("");
    n->lowerFilters = registry::GetMultiString(rec, "LowerFilters").value_or(std::vector<std::string>{});
    n->upperFilters = registry::GetMultiString(rec, "UpperFilters").value_or(std::vector<std::string>{});
    std::string desc = registry::GetString(rec, "DeviceDesc").value_or(n->description);
    std::string mfg = registry::GetString(rec, "Mfg").value_or("");
    bool win98 = Win98Layout();
    std::string classRoot = win98 ? k98ClassRoot : kNtClassRoot;
    std::string classKey = win98 && !className.empty() ? className : n->classGuid;
    if (!classKey.empty()) {
      n->driverKey = NewDriverKey(classRoot, classKey);
      std::string drv = classRoot + "\\" + n->driverKey;
      if (registry::KeyExists(rec + "\\Driver")) CopyTree(rec + "\\Driver", drv);
      registry::SetString(drv, "DriverDesc", desc);
      registry::SetString(drv, "MatchingDeviceId", id);
      // The INF's own provider (copied with the template) wins over the manufacturer.
      if (!mfg.empty() && !registry::GetString(drv, "ProviderName")) registry::SetString(drv, "ProviderName", mfg);
      registry::SetString(key, "Driver", n->driverKey);
    }
    // The hardware section's HKR values belong in this device's own Device Parameters.
    if (registry::KeyExists(rec + "\\Device")) CopyTree(rec + "\\Device", key + "\\Device Parameters");
    registry::SetString(key, "Service", n->service);
    if (!n->classGuid.empty()) registry::SetString(key, "ClassGUID", n->classGuid);
    if (!className.empty()) registry::SetString(key, "Class", className);
    if (!desc.empty()) registry::SetString(key, "DeviceDesc", desc);
    if (!mfg.empty()) registry::SetString(key, "Mfg", mfg);
    if (!n->lowerFilters.empty()) registry::SetMultiString(key, "LowerFilters", n->lowerFilters);
    if (!n->upperFilters.empty()) registry::SetMultiString(key, "UpperFilters", n->upperFilters);
    return true;
  }
  return false;
}

std::vector<std::string> ClassFilters(const DeviceNode* n, const char* valueName) {
  if (n->classGuid.empty()) return {};
  return registry::GetMultiString(std::string(kNtClassRoot) + "\\" + n->classGuid, valueName)
      .value_or(std::vector<std::string>{});
}

std::string EscapeHardwareId(std::string_view hardwareId) {
  std::string out(hardwareId);
  for (char& c : out)
    if (c == '\\') c = '#';
  return out;
}

void InstallDriverRecord(const DriverRecord& r) {
  std::string key = std::string(kDriverDatabase) + "\\" + EscapeHardwareId(r.hardwareId);
  registry::CreateKey(key);
  registry::SetString(key, "Service", r.service);
  if (!r.classGuid.empty()) registry::SetString(key, "ClassGUID", r.classGuid);
  if (!r.className.empty()) registry::SetString(key, "Class", r.className);
  if (!r.deviceDesc.empty()) registry::SetString(key, "DeviceDesc", r.deviceDesc);
  if (!r.mfg.empty()) registry::SetString(key, "Mfg", r.mfg);
  if (!r.lowerFilters.empty()) registry::SetMultiString(key, "LowerFilters", r.lowerFilters);
  if (!r.upperFilters.empty()) registry::SetMultiString(key, "UpperFilters", r.upperFilters);
}

}  // namespace sim::kernel::pnp
