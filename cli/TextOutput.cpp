#include "cli/TextOutput.h"

#include "cli/LocalText.h"

namespace morvane::cli {

QStringList printableLines(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast();
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

TextOutput::TextOutput(Console& console, bool prefixPorts) : console(console), prefixPorts(prefixPorts) {}

void TextOutput::taskBegun(const QString&, Command, const QString&) {}

void TextOutput::statusLine(const QString& port, const QString& text)
{
    console.writeOut(lines(port, QString(), text));
}

void TextOutput::replyLine(const QString& port, const QString& text)
{
    console.writeOut(lines(port, QStringLiteral("> "), text));
}

void TextOutput::progress(const QString&, const Progress&) {}

void TextOutput::taskEnded(const QString& port, Command, const TaskResult& result)
{
    // With several ports the end of each is easy to miss among the other ports' lines.
    if (prefixPorts)
        console.writeOut(lines(port, QString(), QStringLiteral("Result: ") + outcomeName(result.outcome)));
}

void TextOutput::portChanged(const QString& port, bool added)
{
    console.writeOut(lines(port, QString(), added ? QStringLiteral("added") : QStringLiteral("removed")));
}

QByteArray TextOutput::lines(const QString& port, const QString& lead, const QString& text) const
{
    const QString prefix = prefixPorts ? port + QStringLiteral(": ") + lead : lead;
    QByteArray bytes;
    for (const QString& line : printableLines(text)) {
        bytes += toLocalBytes(prefix + line);
        bytes += '\n';
    }
    return bytes;
}

void NoticeOutput::taskEnded(const QString& port, Command, const TaskResult& result)
{
    QString text;
    if (openFailed(result)) {
        text = QStringLiteral("morvane-flash: %1: open port error, code: %2, message: %3")
                   .arg(port, QString::number(result.errorCode), result.errorMessage);
        if (!result.errorReason.isEmpty())
            text += QStringLiteral(" (%1)").arg(result.errorReason);
        text += QLatin1Char('\n');
        if (!result.hint.isEmpty())
            text += result.hint + QLatin1Char('\n');
    }
    if (!result.detail.isEmpty())
        text += QStringLiteral("morvane-flash: %1: %2\n").arg(port, result.detail);
    if (!text.isEmpty())
        console.writeErr(toLocalBytes(text));
}

} // namespace morvane::cli
