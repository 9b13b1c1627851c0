#pragma once
// The commands of cdsctl: one entry per command, grouped by what they act on.
#include <string>
#include <vector>

#include "Args.h"
#include "Context.h"

namespace cdsctl {

// A command: the words that name it ("device show"), its usage and one-line
// summary, and its body. A body takes all its arguments before it calls
// ctx.cds(); it returns the exit status or throws UsageError or Failure.
struct Command {
  const char* name;
  const char* usage;  // without the leading "Usage: cdsctl [OPTIONS] "
  const char* summary;
  int (*run)(Args& args, Context& ctx);
};

// The commands of each group, in the order of the overall help.
const std::vector<Command>& device_commands();   // tree, device ...
const std::vector<Command>& channel_commands();  // channel ..., get, set
const std::vector<Command>& alarm_commands();    // alarms ..., config alarm ...
const std::vector<Command>& oob_commands();      // oob ..., oob field ...
const std::vector<Command>& watch_commands();    // watch
const std::vector<Command>& info_commands();     // info

}  // namespace cdsctl
