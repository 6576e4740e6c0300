// Progress of one chip's run: blocks acknowledged, transfer rate and time left, and the text of
// its progress bar.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace morvane::cli {

struct Progress
{
    uint32_t blocksDone = 0; // blocks the chip has acknowledged
    uint32_t totalBlocks = 0;
    int64_t bytesDone = 0;
    int64_t totalBytes = 0;
};

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

} // namespace morvane::cli
