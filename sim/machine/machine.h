// The simulated PC assembled for tests and the demo: a platform and registry layout, boot
// and shutdown of the kernel with the PnP manager, driver images from the build, and
// installation from the package's INF files found in the source tree.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inf_install.h"
#include "nt/io.h"

namespace sim::phone {
class Q93KPhone;
}
namespace sim::usb {
class HostController;
class RootHub;
}

namespace sim::machine {

struct MachineOptions {
  // NT 5.1 x86 unless told otherwise.
  Platform platform;
  // The 98 platform: its registry layout, and an INF reads only undecorated sections.
  bool win98 = false;
  // Run the virtual clock at wall speed (times `wallScale`), for the interactive CLI.
  bool wallClock = false;
  double wallScale = 1.0;
  // Where the host driver images (<Service>.so) and the package sources are.
  std::string imageDirectory = Q93K_DRIVER_DIR;
  std::string sourceDirectory = Q93K_SOURCE_DIR;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();  // shuts the machine down when still running
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Boots the kernel (this thread becomes a simulated thread) with an empty disk: the
  // registry in the platform's layout, no INF installed. One machine runs at a time.
  void Boot();
  // Removes every device, stops the PnP manager and the kernel.
  void Shutdown();
  bool IsBooted() const { return booted_; }

  // Pre-installs an INF (host path) and lets devices without a driver look again.
  // Returns the published name ("oem0.inf") or nothing with `error` set.
  std::optional<std::string> InstallInf(const std::string& path, std::string* error = nullptr);
  UninstallResult UninstallInf(std::string_view publishedName, bool force = false);

  // A file of the package's source tree ("RyleUsb/Q93Kus.inf") as a host path.
  std::string PackageFile(std::string_view relative) const;

  // A driver linked into the executable, loaded for `service` instead of <service>.so;
  // it also counts as the image when an INF copies <service>.sys.
  void AddBuiltinDriver(const std::string& service, PDRIVER_INITIALIZE entry);

  InfInstaller& Installer() { return *installer_; }
  const MachineOptions& Options() const { return options_; }
  const Platform& GetPlatform() const { return options_.platform; }

  // The running machine, for the user-mode layers (SetupAPI and the like); null when none.
  static Machine* Current();

  // Plugs a phone into a port of the machine's USB host (made at the first use, with its
  // root hub); the hub presents it and the PnP manager installs and starts its driver.
  // Returns once the PnP manager is done. False when the port already holds a device.
  // The phone's own unplug request (a fault it was told to inject) unplugs it the same way.
  bool Plug(std::shared_ptr<sim::phone::Q93KPhone> phone, int port = 0);
  // Pulls the cable: transfers end with the device-gone status, the device is
  // surprise-removed. Returns once the PnP manager is done.
  void Unplug(int port = 0);
  sim::usb::HostController& Usb();
  sim::usb::RootHub& Hub();

 private:
  struct UsbSide;  // machine_usb.cpp
  void EnsureUsb();
  std::shared_ptr<UsbSide> usb_;

  MachineOptions options_;
  std::unique_ptr<InfInstaller> installer_;
  std::vector<std::string> builtins_;
  bool booted_ = false;
};

}  // namespace sim::machine
