// `q93k demo`: walks the simulated PC through the package's life, one stage at a time,
// printing each step with its result and the virtual time it took.
#include <fmt/core.h>

#include <functional>
#include <vector>

#include "commands.h"
#include "kernel.h"
#include "registry.h"

namespace q93k {
namespace {

struct Stage {
  const char* name;
  // Returns false when the stage failed; null when the stage is not built yet.
  std::function<bool()> run;
};

void Step(const char* what, const std::string& result) {
  fmt::print("  [{:10.6f} s] {}: {}\n", sim::kernel::NowSeconds(), what, result);
}

bool BootKernel() {
  Step("clock", fmt::format("virtual, 100 ns units, at {:.6f} s", sim::kernel::NowSeconds()));
  for (const auto& t : sim::kernel::Threads())
    Step("thread", fmt::format("\"{}\" priority {}{}", t.name, t.priority, t.systemThread ? " (system)" : ""));
  size_t keys = 0;
  std::function<void(const std::string&)> count = [&](const std::string& path) {
    keys++;
    for (const auto& sub : sim::kernel::registry::SubKeys(path)) count(path + "\\" + sub);
  };
  count("\\Registry");
  Step("registry", fmt::format("{} keys in the NT layout", keys));
  // A virtual second passes in no wall time: the clock jumps when every thread waits.
  sim::kernel::Sleep(1000);
  Step("one virtual second later", "the clock moved while every thread waited");
  return true;
}

}  // namespace

int Demo(const Options& options) {
  sim::kernel::BootOptions boot;
  boot.wallClock = options.wallClock;
  sim::kernel::Boot(boot);
  const std::vector<Stage> stages = {
      {"Boot the kernel core", BootKernel},
      {"I/O, PnP and power managers", nullptr},
      {"USB host controller and the Q-93K phone", nullptr},
      {"Install Q93Kus.inf and Q93Kpt.inf", nullptr},
      {"Plug the phone in: bus device, children, control drivers, COM ports", nullptr},
      {"AT port: AT, ATI, AT+CGMI", nullptr},
      {"Modem port: dial and move data", nullptr},
      {"OBEX port: put and get an object", nullptr},
      {"Unplug the phone", nullptr},
      {"Uninstall the package", nullptr},
  };
  int failed = 0;
  std::vector<const char*> notBuilt;
  for (const Stage& s : stages) {
    if (!s.run) {
      notBuilt.push_back(s.name);
      continue;
    }
    fmt::print("{}\n", s.name);
    bool ok = s.run();
    fmt::print("  => {}\n", ok ? "ok" : "FAILED");
    if (!ok) failed++;
  }
  if (!notBuilt.empty()) {
    fmt::print("Not built yet:\n");
    for (const char* n : notBuilt) fmt::print("  - {}\n", n);
  }
  sim::kernel::Shutdown();
  return failed ? 1 : 0;
}

int RegDump(const Options& options, const std::string& root) {
  sim::kernel::Boot();
  fmt::print("{}", sim::kernel::registry::SaveText(root));
  sim::kernel::Shutdown();
  return 0;
}

int Devices(const Options& options) {
  fmt::print("devices: the PnP manager is not built yet\n");
  return 2;
}

int Term(const Options& options, const std::string& port) {
  fmt::print("term {}: the COM-port driver is not built yet\n", port);
  return 2;
}

int Bridge(const Options& options) {
  fmt::print("bridge: the COM-port driver is not built yet\n");
  return 2;
}

}  // namespace q93k
