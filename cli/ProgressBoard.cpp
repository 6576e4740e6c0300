#include "cli/ProgressBoard.h"

#include "cli/DisplayWidth.h"

#include <algorithm>
#include <cmath>

namespace morvane::cli {

namespace {

// Fewer columns than this for a name tell nothing; the line is cut at the edge instead.
constexpr int MinimumLabelColumns = 8;

} // namespace

void ProgressMeter::update(const Progress& progress, int64_t nowMs)
{
    // The rate is measured from the first acknowledged block, so the pause before block 1 does
    // not make the transfer look slower than it is.
    if (!started) {
        first = progress;
        firstMs = nowMs;
        started = true;
    }
    current = progress;
    lastMs = nowMs;
}

std::optional<double> ProgressMeter::bytesPerSecond() const
{
    if (!started || lastMs <= firstMs || current.bytesDone <= first.bytesDone)
        return std::nullopt;
    return static_cast<double>(current.bytesDone - first.bytesDone) * 1000.0 /
           static_cast<double>(lastMs - firstMs);
}

std::optional<int64_t> ProgressMeter::millisecondsLeft() const
{
    const auto rate = bytesPerSecond();
    if (!rate)
        return std::nullopt;
    const int64_t remaining = std::max<int64_t>(0, current.totalBytes - current.bytesDone);
    return static_cast<int64_t>(std::llround(static_cast<double>(remaining) * 1000.0 / *rate));
}

QString ProgressMeter::barText(const QString& label, int barWidth) const
{
    const uint32_t total = current.totalBlocks;
    const uint32_t done = std::min(current.blocksDone, total);
    const int filled = total == 0 ? 0 : static_cast<int>(static_cast<uint64_t>(done) * barWidth / total);

    QString text = label;
    text += QStringLiteral(" [");
    text += QString(filled, QLatin1Char('#'));
    text += QString(barWidth - filled, QLatin1Char('-'));
    text += QStringLiteral("] %1/%2 blocks").arg(done).arg(total);

    const auto rate = bytesPerSecond();
    text += QStringLiteral("  ") + (rate ? formatRate(*rate) : QStringLiteral("-- B/s"));
    const auto left = millisecondsLeft();
    text += QStringLiteral("  ") + (left ? formatDuration(*left) : QStringLiteral("-:--")) +
            QStringLiteral(" left");
    return text;
}

QString formatRate(double bytesPerSecond)
{
    if (bytesPerSecond < 1024.0)
        return QStringLiteral("%1 B/s").arg(std::llround(bytesPerSecond));
    if (bytesPerSecond < 1024.0 * 1024.0)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
}

QString formatDuration(int64_t milliseconds)
{
    const int64_t seconds = (std::max<int64_t>(0, milliseconds) + 999) / 1000; // round up
    const int64_t hours = seconds / 3600;
    const int64_t minutes = seconds / 60 % 60;
    const QString secondsText = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0)
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(secondsText);
    return QStringLiteral("%1:%2").arg(minutes).arg(secondsText);
}

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
