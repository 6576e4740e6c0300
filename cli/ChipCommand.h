// info, flash and reset on the ports named, or on every listed port whose chip answers (--port
// all): one session per port, all at once.
#pragma once

#include "cli/ChipSession.h"
#include "cli/CommandLine.h"
#include "cli/CommandRun.h"
#include "cli/Console.h"

#include <memory>
#include <vector>

namespace morvane::cli {

// Returns the worst exit status of all ports. The first SIGINT, SIGTERM or SIGHUP interrupts
// every port (ExitInterrupted); a second ends the program at once with that status. With --port
// all, the ports whose chips answer are worked on and the others skipped; when none answers, the
// status is ExitChipFailure.
ExitStatus runChipCommand(const Options& options, Console& console);

// Starts the sessions and runs the event loop until every one has ended; the first request to
// stop interrupts them all.
void runSessions(const std::vector<std::unique_ptr<ChipSession>>& sessions, CommandRun& run);

} // namespace morvane::cli
