// The subcommands of q93k.
#pragma once

#include <string>

namespace q93k {

struct Options {
  bool wallClock = false;
};

int Demo(const Options& options);
int RegDump(const Options& options, const std::string& root);
int Devices(const Options& options);
int Term(const Options& options, const std::string& port);
int Bridge(const Options& options);

}  // namespace q93k
