// info, flash and reset: one session per port, all at once, in the running QCoreApplication.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"

namespace morvane::cli {

// Returns the worst exit status of all ports. The first SIGINT, SIGTERM or SIGHUP interrupts
// every port (ExitInterrupted); a second ends the program at once with that status. When standard
// output failed, each port's result is repeated on standard error.
ExitStatus runChipCommand(const Options& options, Console& console);

} // namespace morvane::cli
