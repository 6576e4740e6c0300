// Standard output and standard error of the program, with an optional block of progress lines
// kept at the bottom of the terminal on standard error. Lines written while the block is shown
// appear above it. Used from one thread only.
#pragma once

#include <QByteArray>
#include <QStringList>

#include <cstdio>

namespace morvane::cli {

class Console
{
public:
    // `progress` asks for the progress block; it is shown only when `err` is a terminal.
    Console(std::FILE* out, std::FILE* err, bool progress);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool showsProgress() const { return progressEnabled; }

    // Complete lines, each ending in '\n'; flushed at once so pipes see every event.
    void writeOut(const QByteArray& lines);
    void writeErr(const QByteArray& lines);

    // Replaces the progress block (one line per entry).
    void setProgress(const QStringList& lines);
    // Leaves the last progress block on screen and shows none from now on.
    void finishProgress();

private:
    void eraseProgress();
    void drawProgress();

    std::FILE* out;
    std::FILE* err;
    bool progressEnabled;
    bool outSharesTerminal; // stdout is a terminal too, so its lines must go above the block
    QStringList progressLines;
    int drawnLines = 0;
};

} // namespace morvane::cli
