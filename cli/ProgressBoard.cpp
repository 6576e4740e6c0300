#include "cli/ProgressBoard.h"

#include "cli/DisplayWidth.h"

#include <algorithm>

namespace morvane::cli {

namespace {

// Fewer columns than this for a name tell nothing; the line is cut at the edge instead.
constexpr int MinimumLabelColumns = 8;

} // namespace

ProgressBoard::ProgressBoard(Console& console, const QStringList& ports, Finished finished)
    : console(console), ports(ports), finished(finished)
{
    for (const QString& port : ports)
        labelWidth = std::max(labelWidth, displayColumns(port));
    clock.start();
}

void ProgressBoard::take(const RunEvent& event)
{
    if (const auto* made = std::get_if<Progress>(&event.what))
        progress(event.port, *made);
    else if (std::holds_alternative<TaskEnded>(event.what))
        taskEnded(event.port);
}

void ProgressBoard::progress(const QString& port, const Progress& progress)
{
    if (!ports.contains(port)) {
        ports.append(port);
        labelWidth = std::max(labelWidth, displayColumns(port));
    }
    meters[port].update(progress, clock.elapsed());
    console.setProgress(barLines(console.progressColumns()));
}

void ProgressBoard::taskEnded(const QString& port)
{
    if (finished == KeepFinished)
        return;
    meters.erase(port);
    ports.removeAll(port);
    labelWidth = 0;
    for (const QString& name : ports)
        labelWidth = std::max(labelWidth, displayColumns(name));
    console.setProgress(barLines(console.progressColumns()));
}

QStringList ProgressBoard::barLines(int columns) const
{
    int labelColumns = labelWidth;
    if (columns > 0) {
        // The widest bar without its name, so that the bars stay aligned.
        int widestBar = 0;
        for (const auto& [port, meter] : meters)
            widestBar = std::max(widestBar, displayColumns(meter.barText(QString())));
        // The last column stays free: a line that reaches it wraps on some terminals.
        labelColumns = std::min(labelColumns, std::max(MinimumLabelColumns, columns - 1 - widestBar));
    }
    QStringList lines;
    for (const QString& port : ports) {
        const auto meter = meters.find(port);
        if (meter != meters.end())
            lines.append(meter->second.barText(fitColumnsKeepingEnd(port, labelColumns)));
    }
    return lines;
}

} // namespace morvane::cli
