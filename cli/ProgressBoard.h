// The progress block on a terminal: one bar per port with blocks done, rate and time left.
#pragma once

#include "cli/Console.h"
#include "cli/ProgressMeter.h"
#include "cli/RunEvents.h"

#include <QElapsedTimer>
#include <QStringList>

#include <map>

namespace morvane::cli {

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
