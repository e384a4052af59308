// Installing drivers from INF files on the simulated PC, as Windows pre-installs a driver
// package: choosing the decorated sections for the platform, adding services, copying
// files, writing AddReg values and the PnP manager's driver database, and uninstalling.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inf.h"

namespace sim::machine {

enum class Arch { X86, Amd64, Ia64 };

// The Windows the INF is installed on (what OSVERSIONINFOEX would say).
struct Platform {
  bool nt = true;  // false: the 98 platform, which only reads undecorated sections
  unsigned major = 5, minor = 1;
  Arch arch = Arch::X86;
  unsigned productType = 1;  // VER_NT_WORKSTATION
  unsigned suiteMask = 0;
  unsigned build = 2600;
};

// The models section a [Manufacturer] line leads to on `platform`: among the listed
// TargetOSVersion decorations ("NTx86", "NTamd64.6.1", "NT.5.1.1" ...) whose section exists
// and which match the platform (NT, architecture when given, version not above the running
// one, product type and suite mask when given), the one with the highest version, then the
// most specific; with none, the undecorated section except on 64-bit Windows, which
// requires a decorated one. The 98 platform and NT 5.0 ignore decorations. Nothing when no
// section applies.
std::optional<std::string> ChooseModelsSection(const inf::InfFile& inf, std::string_view models,
                                               const std::vector<std::string>& decorations, const Platform& platform);
// The install section actually used for `install`: "<install>.NT<arch>", then
// "<install>.NT", then "<install>" on NT; only "<install>" on the 98 platform.
std::optional<std::string> ChooseInstallSection(const inf::InfFile& inf, std::string_view install,
                                                const Platform& platform);

// What one pre-installed INF brought, kept so that it can be uninstalled.
struct InstalledInf {
  std::string publishedName;  // "oem0.inf", the name Windows gives it in %windir%\inf
  std::string originalName;   // "Q93Kus.inf"
  std::string sourcePath;     // host path it was installed from
  std::vector<std::string> hardwareIds;  // ids with a driver database record
  std::vector<std::string> services;
  std::vector<std::string> files;  // Windows paths copied (the INF itself not included)
};

enum class UninstallResult {
  Ok,
  NotInstalled,  // ERROR_NOT_AN_INSTALLED_OEM_INF
  InUse,         // ERROR_INF_IN_USE_BY_DEVICES: a device's driver came from it (use force)
};

// Driver database extension the PnP manager applies per device: the INF's .HW AddReg for
// HKR is kept under the record's "\Device" subkey, copied into
// Enum\<instance>\Device Parameters when a device is installed from the record.
inline constexpr const char* kDeviceTemplate = "Device";

class InfInstaller {
 public:
  explicit InfInstaller(Platform platform = {});

  const Platform& GetPlatform() const { return platform_; }

  // Pre-installs the INF at host path `path` (like SetupCopyOEMInf into the driver store):
  // services, files, HKLM values now; a driver database record for every hardware and
  // compatible id of the models lines chosen for the platform. Returns the published
  // name ("oemN.inf"; the same name again for an INF already installed with the same
  // text), or nothing with `error` set. Every check runs before anything is written, so a
  // refused INF leaves the machine as it was.
  std::optional<std::string> Install(const std::string& path, std::string* error);
  // Removes the records, the published INF and its .PNF. Services, their files and the
  // HKLM values stay, as on Windows: deleting them is the package uninstaller's job.
  // Devices already installed keep their keys; without `force` an INF that a device's
  // driver key names is refused.
  UninstallResult Uninstall(std::string_view publishedName, bool force = false);

  std::optional<InstalledInf> Find(std::string_view publishedName) const;  // case-insensitive
  std::vector<InstalledInf> Installed() const;

  // The simulated file system: Windows paths ("C:\WINDOWS\System32\drivers\Q93Kus.sys",
  // compared without case) with the host file that holds their content (empty: none).
  bool FileExists(std::string_view windowsPath) const;
  std::optional<std::string> HostFileOf(std::string_view windowsPath) const;
  std::vector<std::string> Files() const;
  void AddFile(std::string_view windowsPath, std::string_view hostPath);
  bool RemoveFile(std::string_view windowsPath);

  // A driver image linked into the executable (sim::kernel::RegisterBuiltinImage) counts
  // as present when CopyFiles names "<base>.sys".
  void AddBuiltinImage(std::string_view base);

 private:
  struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const { return inf::Lower(a) < inf::Lower(b); }
  };
  bool ImageExists(const std::string& base) const;

  Platform platform_;
  mutable std::recursive_mutex lock_;
  std::vector<InstalledInf> installed_;
  std::map<std::string, std::string, NoCase> files_;
  std::set<std::string, NoCase> builtinImages_;

  friend class InstallRun;
};

}  // namespace sim::machine
