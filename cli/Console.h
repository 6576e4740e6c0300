// Standard output and standard error of the program, with an optional block of progress lines
// kept at the bottom of the terminal on standard error. Lines written while the block is shown
// appear above it. A terminal that cannot move the cursor up (a console without escape
// sequences) shows the block as one line, redrawn after a carriage return. Used from one thread at
// a time.
//
// A stream that cannot be written (a pipe whose reader has gone, a full disk, a closed
// descriptor) is written no more; the first error is kept for the program to report at its end.
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

    // The first error writing standard output (an errno value), 0 while there has been none.
    int outError() const { return outErrno; }

    // Width of the terminal that shows the progress block, 0 when unknown.
    int progressColumns() const;
    // Replaces the progress block (one line per entry; cut to the terminal's width).
    void setProgress(const QStringList& lines);
    // Leaves the last progress block on screen and shows none from now on.
    void finishProgress();

private:
    void eraseProgress();
    void drawProgress();
    // Writes and flushes unless the stream failed before; records the first failure.
    void write(std::FILE* stream, const QByteArray& bytes, int& error);

    std::FILE* out;
    std::FILE* err;
    bool progressEnabled;
    bool movesCursor;       // the block is redrawn by moving up to it; else it is one line
    bool outSharesTerminal; // stdout is a terminal too, so its lines must go above the block
    QStringList progressLines;
    int drawnLines = 0;
    int drawnColumns = 0; // of the one line drawn, when the cursor cannot move up
    int outErrno = 0;
    int errErrno = 0;
};

} // namespace morvane::cli
