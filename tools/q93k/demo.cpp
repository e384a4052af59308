// `q93k demo`: walks the simulated PC through the package's life, one stage at a time,
// printing each step with its result and the virtual time it took.
#include <fmt/core.h>

#include <functional>
#include <vector>

#include "at_session.h"
#include "commands.h"
#include "io.h"
#include "kernel.h"
#include "machine/machine.h"
#include "phone/q93k_phone.h"
#include "usb/hub_pdo.h"
#include "pnp.h"
#include "power.h"
#include "registry.h"

namespace q93k {
namespace {

struct Stage {
  const char* name;
  // Returns false when the stage failed; null when the stage is not built yet.
  std::function<bool()> run;
};

void Step(const std::string& what, const std::string& result) {
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

namespace pnp = sim::kernel::pnp;

std::string NodeLine(const sim::kernel::DeviceNode* n) {
  pnp::Status st = pnp::NodeStatus(n);
  std::string state = (st.status & pnp::kDnStarted) ? "started"
                      : st.problem ? fmt::format("problem {} (status 0x{:08X})", st.problem, (ULONG)st.problemStatus)
                                   : "not started";
  return fmt::format("{} [{}]{}", n->instancePath, state, n->service.empty() ? "" : ", driver " + n->service);
}

sim::machine::Machine* gMachine = nullptr;
std::shared_ptr<sim::phone::Q93KPhone> gPhone;

const sim::kernel::DeviceNode* PhoneNode() {
  for (const sim::kernel::DeviceNode* n : pnp::Nodes())
    for (const std::string& id : n->hardwareIds)
      if (id == "USB\\VID_0FA7&PID_5E19") return n;
  return nullptr;
}

bool Managers() {
  gMachine->Boot();
  int workers = 0;
  for (const auto& t : sim::kernel::Threads())
    if (t.systemThread) {
      Step("system thread", fmt::format("\"{}\" priority {}", t.name, t.priority));
      workers++;
    }
  Step("PnP manager", fmt::format("device tree with {} device node{}", pnp::Nodes().size(),
                                  pnp::Nodes().size() == 1 ? "" : "s"));
  for (const sim::kernel::DeviceNode* n : pnp::Nodes()) Step("device", NodeLine(n));
  Step("power manager", fmt::format("system in S{}", (int)sim::kernel::power::CurrentSystemState() - 1));
  Step("I/O manager", fmt::format("NT {}.{} with WDM {}", 5, 1,
                                  IoIsWdmVersionAvailable(1, 0x20) ? "1.20 (Windows XP)" : "older"));
  return workers > 0;
}

bool PlugWithoutDriver() {
  gPhone = std::make_shared<sim::phone::Q93KPhone>();
  if (!gMachine->Plug(gPhone)) return false;
  gMachine->Hub().Settle();
  pnp::WaitIdle();
  const sim::kernel::DeviceNode* n = PhoneNode();
  if (!n) return false;
  Step("phone reported", NodeLine(n));
  for (const std::string& id : n->hardwareIds) Step("hardware id", id);
  return pnp::NodeStatus(n).problem == pnp::kProbFailedInstall;
}

bool InstallBusDriver() {
  std::string error;
  auto name = gMachine->InstallInf(gMachine->PackageFile("RyleUsb/Q93Kus.inf"), &error);
  if (!name) {
    Step("Q93Kus.inf", "refused: " + error);
    return false;
  }
  Step("Q93Kus.inf", "installed as " + *name);
  pnp::WaitIdle();
  const sim::kernel::DeviceNode* n = PhoneNode();
  if (!n) return false;
  Step("phone", NodeLine(n));
  PDEVICE_OBJECT bus = sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0");
  Step("bus device", bus ? "\\Device\\Q93KUsbDevice0" : std::string("none"));
  std::string parameters = std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\") +
                           n->driverKey + "\\Parameters";
  if (auto mode = sim::kernel::registry::GetDword(parameters, "UsbMode")) Step("UsbMode", std::to_string(*mode));
  for (const char* child : {"MODEM", "OBEX", "ATCOMM"})
    for (const std::string& v : sim::kernel::registry::ValueNames(parameters + "\\DeviceInfo\\" + child))
      Step(std::string("DeviceInfo\\") + child,
           "\"" + v + "\" = " + sim::kernel::registry::GetString(parameters + "\\DeviceInfo\\" + child, v).value_or(""));
  for (const sim::kernel::DeviceNode* c : pnp::Nodes())
    if (c->parent == n) Step("child", NodeLine(c));
  return n->service == "Q93Kus";
}

// The stack of a device node from the bottom, by service: "Q93Kus, Q93Kat, Q93Ksw".
std::string StackLine(const sim::kernel::DeviceNode* n) {
  std::string line;
  for (PDEVICE_OBJECT d : pnp::StackOf(n))
    line += (line.empty() ? "" : ", ") + sim::kernel::io::ServiceOf(d->DriverObject);
  return line;
}

bool PlugWithPackage() {
  std::string error;
  auto name = gMachine->InstallInf(gMachine->PackageFile("RylePort/Q93Kpt.inf"), &error);
  if (!name) {
    Step("Q93Kpt.inf", "refused: " + error);
    return false;
  }
  Step("Q93Kpt.inf", "installed as " + *name);
  pnp::WaitIdle();
  // The phone comes in again with every driver of the package in place.
  gMachine->Unplug();
  gMachine->Hub().Settle();
  pnp::WaitIdle();
  Step("phone", "unplugged");
  gPhone = std::make_shared<sim::phone::Q93KPhone>();
  if (!gMachine->Plug(gPhone)) return false;
  gMachine->Hub().Settle();
  pnp::WaitIdle();
  const sim::kernel::DeviceNode* phone = PhoneNode();
  if (!phone) return false;
  Step("phone", NodeLine(phone));
  for (const sim::kernel::DeviceNode* c : pnp::Nodes())
    if (c->parent == phone) {
      Step("child", NodeLine(c));
      if (!c->service.empty()) Step("  stack", StackLine(c));
    }
  std::vector<std::string> ports = ComPorts();
  for (const std::string& p : ports) Step("COM port", p + " -> " + sim::kernel::LinkTarget("\\??\\" + p));
  return !ports.empty();
}

// An application's session on the AT port: open it by its COM name, three commands, close.
bool TalkOnAtPort() {
  std::string error;
  HANDLE port = OpenComPort("COM5", &error);
  if (port == INVALID_HANDLE_VALUE) {
    Step("open \\\\.\\COM5", "failed: " + error);
    return false;
  }
  Step("open \\\\.\\COM5", "opened, timeouts set");
  bool ok = true;
  for (const char* command : {"AT", "ATI", "AT+CGMI"}) {
    Answer a = Exchange(port, command);
    std::string text;
    for (const std::string& l : AnswerLines(a.text)) text += (text.empty() ? "" : " | ") + l;
    std::string result = !a.error.empty() ? "failed: " + a.error
                         : a.complete     ? fmt::format("{} ({:.3f} s)", text, a.seconds)
                                          : fmt::format("no final result code: \"{}\"", text);
    Step(fmt::format("write \"{}\\r\"", command), result);
    ok = ok && a.complete && a.error.empty() && text.size() >= 2 && text.compare(text.size() - 2, 2, "OK") == 0;
  }
  CloseHandle(port);
  Step("close COM5", "closed");
  return ok;
}

bool UnplugPhone() {
  gMachine->Unplug();
  gMachine->Hub().Settle();
  pnp::WaitIdle();
  Step("phone node", PhoneNode() ? "still present" : "removed");
  Step("bus device", sim::kernel::FindDevice("\\Device\\Q93KUsbDevice0") ? "still present" : "deleted");
  return !PhoneNode();
}

}  // namespace

int Demo(const Options& options) {
  sim::machine::MachineOptions machineOptions;
  machineOptions.wallClock = options.wallClock;
  sim::machine::Machine machine(machineOptions);
  gMachine = &machine;
  const std::vector<Stage> stages = {
      {"Boot the kernel core", [] {
         sim::kernel::Boot();
         bool ok = BootKernel();
         sim::kernel::Shutdown();
         return ok;
       }},
      {"I/O, PnP and power managers", Managers},
      {"USB host controller and the Q-93K phone: plugged with no driver installed", PlugWithoutDriver},
      {"Install Q93Kus.inf: the bus driver loads for the phone", InstallBusDriver},
      {"Plug the phone in: children, control drivers, COM ports", PlugWithPackage},
      {"AT port: AT, ATI, AT+CGMI", TalkOnAtPort},
      {"Modem port: dial and move data", nullptr},
      {"OBEX port: put and get an object", nullptr},
      {"Unplug the phone", UnplugPhone},
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
  gPhone.reset();
  machine.Shutdown();
  gMachine = nullptr;
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

int Bridge(const Options& options) {
  fmt::print("bridge: the COM-port driver is not built yet\n");
  return 2;
}

}  // namespace q93k
