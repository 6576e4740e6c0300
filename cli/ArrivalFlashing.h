// flash --on-arrival: the production line. Waits for serial ports to arrive (the serial
// library's port-change notification) and flashes each whose chip answers, several at once,
// until the user interrupts it; then prints a summary. Ports present at the start are left alone.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"

#include <cstdint>

namespace morvane::cli {

// What became of the chips of one session.
struct ArrivalTally
{
    int flashed = 0;
    int failed = 0;      // timed out, aborted, disconnected, in boot mode, could not be opened
    int interrupted = 0; // still running when the user stopped the program
    int skipped = 0;     // ports that did not answer like a chip
    int64_t durationMs = 0;

    // 0 when every chip seen was flashed, ExitInterrupted when the interrupt stopped a run,
    // ExitChipFailure when a chip was not flashed otherwise.
    ExitStatus exitStatus() const;
};

// "Summary: flashed 3, failed 1, interrupted 0, skipped 2; total time 1:05", or as JSON the
// object {"event":"summary",...}; each ends in a line break.
QByteArray summaryText(const ArrivalTally& tally);
QByteArray summaryJson(const ArrivalTally& tally);

// Runs until the first SIGINT, SIGTERM or SIGHUP, which interrupts the runs still going (a
// second ends the program at once). Returns the summary's status, or before any port is
// touched: ExitBadInput for an image or report that cannot be used, ExitChipFailure when port
// arrivals cannot be watched.
ExitStatus flashOnArrival(const Options& options, Console& console);

} // namespace morvane::cli
