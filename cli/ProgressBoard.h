// The progress block on a terminal: one bar per port with blocks done, rate and time left.
#pragma once

#include "cli/Console.h"
#include "cli/RunEvents.h"

#include <QElapsedTimer>
#include <QStringList>

#include <map>
#include <optional>

namespace morvane::cli {

// The progress of one chip's run: transfer rate and time left, and the text of its bar.
class ProgressMeter
{
public:
    // Records a new state at `nowMs` (any steady clock in milliseconds).
    void update(const Progress& progress, int64_t nowMs);

    const Progress& progress() const { return current; }
    // Bytes per second since the first recorded state; none until time has passed.
    std::optional<double> bytesPerSecond() const;
    // Milliseconds left at the current rate; none while the rate is unknown.
    std::optional<int64_t> millisecondsLeft() const;

    // One line: label, bar, blocks done/total, rate and time left.
    QString barText(const QString& label, int barWidth = 24) const;

private:
    Progress current;
    Progress first;
    int64_t firstMs = 0;
    int64_t lastMs = 0;
    bool started = false;
};

// "1.5 KiB/s" style rate text and "m:ss" style durations.
QString formatRate(double bytesPerSecond);
QString formatDuration(int64_t milliseconds);

class ProgressBoard : public RunSink
{
public:
    enum Finished
    {
        KeepFinished, // a bar stays when its run has ended
        DropFinished  // a bar goes when its run has ended (ports that come and go)
    };

    // `ports` in the order their bars are shown; a port not among them is added after them when
    // its first progress comes.
    ProgressBoard(Console& console, const QStringList& ports, Finished finished = KeepFinished);

    void take(const RunEvent& event) override;

    // One line per port that has made progress. For a terminal `columns` wide (0: unknown) the
    // port names are shortened, never the bars, so that each line fits.
    QStringList barLines(int columns = 0) const;

private:
    void progress(const QString& port, const Progress& progress);
    void taskEnded(const QString& port);

    Console& console;
    QStringList ports;
    Finished finished;
    int labelWidth = 0; // columns of the longest port name
    std::map<QString, ProgressMeter> meters;
    QElapsedTimer clock;
};

} // namespace morvane::cli
