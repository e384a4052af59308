// `q93k term COMn`: a terminal to a COM port of the simulated PC. Boots the PC with the
// package installed and the phone plugged in, opens the port by its name as a Windows
// application does, and sends each line of standard input as a command, printing the
// phone's answer; "exit" or the end of input closes the port and unplugs the phone.
#include <fmt/core.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "at_session.h"
#include "commands.h"
#include "kernel.h"
#include "machine/machine.h"
#include "phone/q93k_phone.h"
#include "pnp.h"
#include "usb/hub_pdo.h"

namespace q93k {

int Term(const Options& options, const std::string& port) {
  sim::machine::MachineOptions machineOptions;
  // Someone typing waits in wall time; the virtual clock would race through the idle
  // phone's polling in the meantime.
  machineOptions.wallClock = options.wallClock || isatty(STDIN_FILENO);
  sim::machine::Machine machine(machineOptions);
  machine.Boot();
  auto fail = [&](const std::string& message) {
    fmt::print(stderr, "term: {}\n", message);
    machine.Shutdown();
    return 1;
  };

  std::string error;
  if (!InstallPackage(machine, &error)) return fail("cannot install the package: " + error);
  auto phone = std::make_shared<sim::phone::Q93KPhone>();
  if (!machine.Plug(phone)) return fail("cannot plug the phone in");
  machine.Hub().Settle();
  sim::kernel::pnp::WaitIdle();

  HANDLE handle = OpenComPort(port, &error);
  if (handle == INVALID_HANDLE_VALUE) {
    std::vector<std::string> ports = ComPorts();
    std::string list;
    for (const std::string& p : ports) list += (list.empty() ? "" : ", ") + p;
    fmt::print(stderr, "term: cannot open {}: {}\n", port, error);
    fmt::print(stderr, "term: COM ports of this PC: {}\n", list.empty() ? "none" : list);
    machine.Unplug();
    machine.Shutdown();
    return 1;
  }
  fmt::print("term: {} open. Type AT commands; \"exit\" or the end of input closes the port.\n", port);
  std::fflush(stdout);

  int failures = 0;
  for (;;) {
    std::string line;
    bool got = false;
    // Reading the terminal is a wait outside the machine.
    sim::kernel::HostBlocking([&] { got = static_cast<bool>(std::getline(std::cin, line)); });
    if (!got) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "exit") break;
    if (line.empty()) continue;
    fmt::print("> {}\n", line);
    Answer answer = Exchange(handle, line);
    for (const std::string& l : AnswerLines(answer.text)) fmt::print("< {}\n", l);
    if (!answer.error.empty()) {
      fmt::print("term: {}\n", answer.error);
      failures++;
    } else if (!answer.complete) {
      fmt::print("term: no final result code within 5 s\n");
      failures++;
    }
    std::fflush(stdout);
  }

  CloseHandle(handle);
  fmt::print("term: {} closed\n", port);
  machine.Unplug();
  machine.Hub().Settle();
  sim::kernel::pnp::WaitIdle();
  fmt::print("term: phone unplugged\n");
  machine.Shutdown();
  return failures ? 1 : 0;
}

}  // namespace q93k
