// flash --on-arrival: the production line. Waits for serial ports to arrive and flashes each
// whose chip answers, several at once, until the user interrupts it; then prints a summary.
// Ports present at the start are left alone.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/RunEvents.h"
#include "flasher/FirmwareImage.h"

#include <QStringList>

#include <cstdint>
#include <map>

namespace morvane::cli {

// flash --on-arrival reads its image once, at the start, and flashes those bytes into every chip
// however long it runs. So that a file changed on disk meanwhile is never taken for what the
// chips get, the watch compares the file with what was read whenever a chip arrives.
class ImageWatch
{
public:
    explicit ImageWatch(const rq75x::FirmwareImage& image);

    // Empty while the file holds the bytes read at the start; otherwise what has become of it,
    // for example "has changed on disk since the start". Reads the whole file: a time stamp
    // may not move for a change made in the same clock tick.
    QString change() const;
    // Of the bytes read at the start, in lowercase hexadecimal.
    const QString& sha256() const { return digest; }

private:
    const rq75x::FirmwareImage& image;
    const QString digest;
};

// What became of the runs of one session, and of the ports that arrived. A port can have several
// runs (a connector that bounces): the runs are counted, and each port is judged by its last.
class ArrivalTally
{
public:
    void count(const QString& port, TaskOutcome outcome);

    int flashed = 0;
    int failed = 0;      // timed out, aborted, disconnected, in boot mode, could not be opened
    int interrupted = 0; // still running when the user stopped the program
    int skipped = 0;     // ports that did not answer like a chip
    int64_t durationMs = 0;

    // The ports whose last run completed, and those whose last run did not, by name.
    QStringList flashedPorts() const { return portsWhoseLastRun(true); }
    QStringList notFlashedPorts() const { return portsWhoseLastRun(false); }

    // ExitInterrupted when the interrupt stopped a run; else ExitChipFailure when a port that
    // arrived was not flashed by its last run; else 0 (also when no port arrived).
    ExitStatus exitStatus() const;

private:
    QStringList portsWhoseLastRun(bool completed) const;

    std::map<QString, bool> lastRunCompleted;
};

// "Summary: flashed 3, failed 1, interrupted 0, skipped 2; total time 1:05", or as JSON the
// object {"event":"summary",...} with `status` as its exit code; each ends in a line break.
QByteArray summaryText(const ArrivalTally& tally);
QByteArray summaryJson(const ArrivalTally& tally, ExitStatus status);

// Runs until the first SIGINT, SIGTERM or SIGHUP, which interrupts the runs still going (a
// second ends the program at once). Returns the summary's status, or before any port is
// touched: ExitBadInput for an image or report that cannot be used, ExitChipFailure when port
// arrivals cannot be watched.
ExitStatus flashOnArrival(const Options& options, Console& console);

} // namespace morvane::cli
