#include "cli/JsonOutput.h"

#include <QJsonDocument>

namespace morvane::cli::json {

namespace {

QJsonObject event(const char* name, const QString& port)
{
    return QJsonObject{{QStringLiteral("event"), QLatin1String(name)}, {QStringLiteral("port"), port}};
}

} // namespace

QJsonObject beginEvent(const QString& port, Command task, const QString& file)
{
    QJsonObject object = event("begin", port);
    object.insert(QStringLiteral("task"), commandName(task));
    if (task == Command::Flash)
        object.insert(QStringLiteral("file"), file);
    return object;
}

QJsonObject statusEvent(const QString& port, const QString& text)
{
    QJsonObject object = event("status", port);
    object.insert(QStringLiteral("text"), text);
    return object;
}

QJsonObject replyEvent(const QString& port, const QString& text)
{
    QJsonObject object = event("reply", port);
    object.insert(QStringLiteral("text"), text);
    return object;
}

QJsonObject progressEvent(const QString& port, const Progress& progress)
{
    QJsonObject object = event("progress", port);
    object.insert(QStringLiteral("blocks"), static_cast<qint64>(progress.blocksDone));
    object.insert(QStringLiteral("totalBlocks"), static_cast<qint64>(progress.totalBlocks));
    object.insert(QStringLiteral("bytes"), static_cast<qint64>(progress.bytesDone));
    object.insert(QStringLiteral("totalBytes"), static_cast<qint64>(progress.totalBytes));
    return object;
}

QJsonObject endEvent(const QString& port, Command task, const TaskResult& result)
{
    QJsonObject object = event("end", port);
    object.insert(QStringLiteral("task"), commandName(task));
    object.insert(QStringLiteral("result"), outcomeName(result.outcome));
    object.insert(QStringLiteral("exitCode"), static_cast<int>(exitStatusOf(result.outcome)));
    if (openFailed(result)) {
        object.insert(QStringLiteral("errorCode"), result.errorCode);
        object.insert(QStringLiteral("errorMessage"), result.errorMessage);
        if (!result.errorReason.isEmpty())
            object.insert(QStringLiteral("errorReason"), result.errorReason);
        if (!result.hint.isEmpty())
            object.insert(QStringLiteral("hint"), result.hint);
    }
    if (result.outcome == TaskOutcome::Skipped)
        object.insert(QStringLiteral("skipReason"), skipReasonName(result.skipReason));
    if (!result.detail.isEmpty())
        object.insert(QStringLiteral("detail"), result.detail);
    if (result.firmwareInfo)
        object.insert(QStringLiteral("firmwareInfo"), *result.firmwareInfo);
    return object;
}

QJsonObject portChangeEvent(const QString& port, bool added)
{
    return event(added ? "added" : "removed", port);
}

QByteArray line(const QJsonObject& event)
{
    return QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace morvane::cli::json

namespace morvane::cli {

void JsonOutput::taskBegun(const QString& port, Command task, const QString& file)
{
    console.writeOut(json::line(json::beginEvent(port, task, file)));
}

void JsonOutput::statusLine(const QString& port, const QString& text)
{
    console.writeOut(json::line(json::statusEvent(port, text)));
}

void JsonOutput::replyLine(const QString& port, const QString& text)
{
    console.writeOut(json::line(json::replyEvent(port, text)));
}

void JsonOutput::progress(const QString& port, const Progress& progress)
{
    console.writeOut(json::line(json::progressEvent(port, progress)));
}

void JsonOutput::taskEnded(const QString& port, Command task, const TaskResult& result)
{
    console.writeOut(json::line(json::endEvent(port, task, result)));
}

void JsonOutput::portChanged(const QString& port, bool added)
{
    console.writeOut(json::line(json::portChangeEvent(port, added)));
}

} // namespace morvane::cli
