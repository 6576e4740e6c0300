#include "cli/Console.h"

#include "cli/LocalText.h"
#include "cli/Terminal.h"

namespace morvane::cli {

Console::Console(std::FILE* out, std::FILE* err, bool progress)
    : out(out), err(err), progressEnabled(progress && isTerminal(err)),
      outSharesTerminal(progressEnabled && isTerminal(out))
{
}

void Console::writeOut(const QByteArray& lines)
{
    if (outSharesTerminal)
        eraseProgress();
    std::fwrite(lines.constData(), 1, static_cast<size_t>(lines.size()), out);
    std::fflush(out);
    if (outSharesTerminal)
        drawProgress();
}

void Console::writeErr(const QByteArray& lines)
{
    eraseProgress();
    std::fwrite(lines.constData(), 1, static_cast<size_t>(lines.size()), err);
    std::fflush(err);
    drawProgress();
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
    drawnLines = 0; // the block stays where it is
    progressLines.clear();
    progressEnabled = false;
    outSharesTerminal = false;
}

void Console::eraseProgress()
{
    if (drawnLines == 0)
        return;
    // Up to the first line of the block, then clear to the end of the screen.
    std::fprintf(err, "\x1b[%dA\r\x1b[J", drawnLines);
    drawnLines = 0;
}

void Console::drawProgress()
{
    if (!progressEnabled || progressLines.isEmpty())
        return;
    // A line that wraps would throw off the count of lines to erase next time.
    const int columns = terminalColumns(err);
    QByteArray block;
    for (const QString& line : progressLines) {
        block += toLocalBytes(columns > 1 ? line.left(columns - 1) : line);
        block += '\n';
    }
    std::fwrite(block.constData(), 1, static_cast<size_t>(block.size()), err);
    std::fflush(err);
    drawnLines = static_cast<int>(progressLines.size());
}

} // namespace morvane::cli
