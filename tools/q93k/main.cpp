// The q93k command line: runs the demo of the driver package on a simulated PC, and
// shows what the simulated PC holds.
#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"q93k: the Q-93K driver package on a simulated Windows PC"};
  app.require_subcommand(0, 1);
  bool wall = false;
  app.add_flag("--wall-clock", wall, "run the simulated clock at wall speed");

  auto* demo = app.add_subcommand("demo", "boot, install, plug the phone, talk to it, unplug, uninstall");
  auto* regdump = app.add_subcommand("regdump", "print the registry of a freshly booted PC");
  std::string root;
  regdump->add_option("root", root, "key to start from (e.g. \\Registry\\Machine\\System)");
  auto* devices = app.add_subcommand("devices", "list the device tree of the simulated PC");
  auto* term = app.add_subcommand("term", "interactive terminal to a simulated COM port");
  std::string port;
  term->add_option("port", port, "COM port name, e.g. COM5")->required();
  auto* bridge = app.add_subcommand("bridge", "expose the simulated COM ports as pseudo-terminals");

  CLI11_PARSE(app, argc, argv);

  q93k::Options options;
  options.wallClock = wall;
  if (*regdump) return q93k::RegDump(options, root);
  if (*devices) return q93k::Devices(options);
  if (*term) return q93k::Term(options, port);
  if (*bridge) return q93k::Bridge(options);
  (void)demo;
  return q93k::Demo(options);
}
