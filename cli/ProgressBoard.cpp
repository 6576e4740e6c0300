#include "cli/ProgressBoard.h"

namespace morvane::cli {

ProgressBoard::ProgressBoard(Console& console, const QStringList& ports) : console(console), ports(ports)
{
    for (const QString& port : ports)
        labelWidth = std::max(labelWidth, static_cast<int>(port.size()));
    clock.start();
}

void ProgressBoard::progress(const QString& port, const Progress& progress)
{
    meters[port].update(progress, clock.elapsed());
    console.setProgress(barLines());
}

QStringList ProgressBoard::barLines() const
{
    QStringList lines;
    for (const QString& port : ports) {
        const auto meter = meters.find(port);
        if (meter != meters.end())
            lines.append(meter->second.barText(port.leftJustified(labelWidth)));
    }
    return lines;
}

} // namespace morvane::cli
