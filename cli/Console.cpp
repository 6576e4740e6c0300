#include "cli/Console.h"

#include "cli/DisplayWidth.h"
#include "cli/Terminal.h"
#include "flasher/LocalText.h"

#include <cerrno>

namespace morvane::cli {

using rq75x::toLocalBytes;

Console::Console(std::FILE* out, std::FILE* err, bool progress)
    : out(out), err(err), progressEnabled(progress && isTerminal(err)),
      movesCursor(progressEnabled && enableCursorMovement(err)),
      outSharesTerminal(progressEnabled && isTerminal(out))
{
}

void Console::write(std::FILE* stream, const QByteArray& bytes, int& error)
{
    if (error != 0)
        return;
    errno = 0;
    const size_t written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (std::fflush(stream) != 0 || written != static_cast<size_t>(bytes.size()))
        error = errno != 0 ? errno : EIO;
}

void Console::writeOut(const QByteArray& lines)
{
    if (outSharesTerminal)
        eraseProgress();
    write(out, lines, outErrno);
    if (outSharesTerminal)
        drawProgress();
}

void Console::writeErr(const QByteArray& lines)
{
    eraseProgress();
    write(err, lines, errErrno);
    drawProgress();
}

int Console::progressColumns() const
{
    return terminalColumns(err);
}

void Console::setProgress(const QStringList& lines)
{
    if (!progressEnabled)
        return;
    eraseProgress();
    progressLines = lines;
    drawProgress();
}

void Console::finishProgress()
{
    if (!movesCursor && drawnLines > 0)
        write(err, "\n", errErrno); // the line has no end of its own yet
    drawnLines = 0;                 // the block stays where it is
    progressLines.clear();
    progressEnabled = false;
    outSharesTerminal = false;
}

void Console::eraseProgress()
{
    if (drawnLines == 0)
        return;
    if (movesCursor) {
        // Up to the first line of the block, then clear to the end of the screen.
        write(err, QByteArray("\x1b[") + QByteArray::number(drawnLines) + "A\r\x1b[J", errErrno);
    } else {
        // Blanks over the line, and back to its start.
        write(err, '\r' + QByteArray(drawnColumns, ' ') + '\r', errErrno);
    }
    drawnLines = 0;
}

void Console::drawProgress()
{
    if (!progressEnabled || progressLines.isEmpty())
        return;
    // A line that wraps would throw off the count of lines to erase next time.
    const int columns = terminalColumns(err);
    const auto fitted = [columns](const QString& line) {
        return columns > 1 ? leftColumns(line, columns - 1) : line;
    };
    if (!movesCursor) {
        // The cursor can only go back to the start of this line: the bars side by side, without
        // an end of line.
        const QString line = fitted(progressLines.join(QStringLiteral("  ")));
        write(err, toLocalBytes(line), errErrno);
        drawnLines = 1;
        drawnColumns = displayColumns(line);
        return;
    }
    QByteArray block;
    for (const QString& line : progressLines) {
        block += toLocalBytes(fitted(line));
        block += '\n';
    }
    write(err, block, errErrno);
    drawnLines = static_cast<int>(progressLines.size());
}

} // namespace morvane::cli
