// info, flash and reset: one session per port, all at once, in the running QCoreApplication.
#pragma once

#include "cli/ChipSession.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"

#include <memory>
#include <vector>

namespace morvane::cli {

// Returns the worst exit status of all ports. The first SIGINT, SIGTERM or SIGHUP interrupts
// every port (ExitInterrupted); a second ends the program at once with that status. When standard
// output failed, each port's result is repeated on standard error. With --port all, the ports
// whose chips answer are worked on and the others skipped; when none answers, the status is
// ExitChipFailure.
ExitStatus runChipCommand(const Options& options, Console& console);

// Starts the sessions and runs the event loop until every one has ended; the first request to
// stop interrupts them all.
void runSessions(const std::vector<std::unique_ptr<ChipSession>>& sessions, Console& console);

} // namespace morvane::cli
