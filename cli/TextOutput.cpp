#include "cli/TextOutput.h"

#include "flasher/LocalText.h"

namespace morvane::cli {

using rq75x::toLocalBytes;

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

void TextOutput::take(const RunEvent& event)
{
    if (const auto* status = std::get_if<StatusLine>(&event.what)) {
        console.writeOut(lines(event.port, QString(), status->text));
    } else if (const auto* reply = std::get_if<ReplyLine>(&event.what)) {
        console.writeOut(lines(event.port, QStringLiteral("> "), reply->text));
    } else if (const auto* ended = std::get_if<TaskEnded>(&event.what)) {
        // With several ports the end of each is easy to miss among the other ports' lines.
        if (prefixPorts)
            console.writeOut(lines(event.port, QString(),
                                   QStringLiteral("Result: ") + outcomeName(ended->result.outcome)));
    } else if (const auto* change = std::get_if<PortChange>(&event.what)) {
        console.writeOut(lines(event.port, QString(),
                               change->added ? QStringLiteral("added") : QStringLiteral("removed")));
    }
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

void NoticeOutput::take(const RunEvent& event)
{
    const auto* ended = std::get_if<TaskEnded>(&event.what);
    if (ended == nullptr)
        return;
    const TaskResult& result = ended->result;
    QString text;
    if (openFailed(result)) {
        text = QStringLiteral("morvane-flash: %1: open port error, code: %2, message: %3")
                   .arg(event.port, QString::number(result.errorCode), result.errorMessage);
        if (!result.errorReason.isEmpty())
            text += QStringLiteral(" (%1)").arg(result.errorReason);
        text += QLatin1Char('\n');
        if (!result.hint.isEmpty())
            text += result.hint + QLatin1Char('\n');
    }
    if (!result.detail.isEmpty())
        text += QStringLiteral("morvane-flash: %1: %2\n").arg(event.port, result.detail);
    if (!text.isEmpty())
        console.writeErr(toLocalBytes(text));
}

} // namespace morvane::cli
