// The assembled simulated PC: boots the kernel in the chosen layout, points the image
// loader at the build's driver images, and installs INF files through the installer,
// telling the PnP manager to look again for devices that were waiting for a driver.
#include "machine.h"

#include <atomic>

#include "image.h"
#include "kernel.h"
#include "pnp.h"

namespace sim::machine {

namespace {
std::atomic<Machine*> gCurrent{nullptr};
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  if (options_.win98) {
    // The 98 platform is Windows 4.10 and not NT, whatever the caller left in platform.
    options_.platform.nt = false;
    options_.platform.major = 4;
    options_.platform.minor = 10;
    options_.platform.arch = Arch::X86;
  }
  installer_ = std::make_unique<InfInstaller>(options_.platform);
}

Machine::~Machine() {
  if (booted_) Shutdown();
}

void Machine::Boot() {
  sim::kernel::BootOptions boot;
  boot.wallClock = options_.wallClock;
  boot.wallScale = options_.wallScale;
  boot.win98Registry = options_.win98;
  sim::kernel::Boot(boot);
  sim::kernel::SetImageDirectory(options_.imageDirectory);
  // A fresh disk: what an earlier boot installed went with its registry.
  installer_ = std::make_unique<InfInstaller>(options_.platform);
  for (const std::string& b : builtins_) installer_->AddBuiltinImage(b);
  booted_ = true;
  gCurrent = this;
}

void Machine::Shutdown() {
  if (!booted_) return;
  sim::kernel::pnp::Shutdown();
  for (const std::string& b : builtins_) sim::kernel::UnregisterBuiltinImage(b);
  sim::kernel::Shutdown();
  booted_ = false;
  Machine* self = this;
  gCurrent.compare_exchange_strong(self, nullptr);
}

std::optional<std::string> Machine::InstallInf(const std::string& path, std::string* error) {
  auto published = installer_->Install(path, error);
  if (published && booted_) {
    sim::kernel::pnp::ReenumerateDriverless();
    sim::kernel::pnp::WaitIdle();
  }
  return published;
}

UninstallResult Machine::UninstallInf(std::string_view publishedName, bool force) {
  return installer_->Uninstall(publishedName, force);
}

std::string Machine::PackageFile(std::string_view relative) const {
  std::string out = options_.sourceDirectory;
  if (!out.empty() && out.back() != '/') out += '/';
  for (char c : relative) out += c == '\\' ? '/' : c;
  return out;
}

void Machine::AddBuiltinDriver(const std::string& service, PDRIVER_INITIALIZE entry) {
  sim::kernel::RegisterBuiltinImage(service, entry);
  builtins_.push_back(service);
  installer_->AddBuiltinImage(service);
}

Machine* Machine::Current() { return gCurrent.load(); }

}  // namespace sim::machine
