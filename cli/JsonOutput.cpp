#include "cli/JsonOutput.h"

#include <QJsonDocument>

namespace morvane::cli::json {

namespace {

QJsonObject named(const char* name, const QString& port)
{
    return QJsonObject{{QStringLiteral("event"), QLatin1String(name)}, {QStringLiteral("port"), port}};
}

QJsonObject endObject(const QString& port, const TaskEnded& ended)
{
    const TaskResult& result = ended.result;
    QJsonObject object = named("end", port);
    object.insert(QStringLiteral("task"), commandName(ended.task));
    object.insert(QStringLiteral("result"), outcomeName(result.outcome));
    object.insert(QStringLiteral("exitCode"), static_cast<int>(result.exitStatus));
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

} // namespace

QJsonObject eventObject(const RunEvent& event)
{
    const QString& port = event.port;
    if (const auto* begun = std::get_if<TaskBegun>(&event.what)) {
        QJsonObject object = named("begin", port);
        object.insert(QStringLiteral("task"), commandName(begun->task));
        if (begun->task == Command::Flash)
            object.insert(QStringLiteral("file"), begun->file);
        return object;
    }
    if (const auto* status = std::get_if<StatusLine>(&event.what)) {
        QJsonObject object = named("status", port);
        object.insert(QStringLiteral("text"), status->text);
        return object;
    }
    if (const auto* reply = std::get_if<ReplyLine>(&event.what)) {
        QJsonObject object = named("reply", port);
        object.insert(QStringLiteral("text"), reply->text);
        return object;
    }
    if (const auto* progress = std::get_if<Progress>(&event.what)) {
        QJsonObject object = named("progress", port);
        object.insert(QStringLiteral("blocks"), static_cast<qint64>(progress->blocksDone));
        object.insert(QStringLiteral("totalBlocks"), static_cast<qint64>(progress->totalBlocks));
        object.insert(QStringLiteral("bytes"), static_cast<qint64>(progress->bytesDone));
        object.insert(QStringLiteral("totalBytes"), static_cast<qint64>(progress->totalBytes));
        return object;
    }
    if (const auto* ended = std::get_if<TaskEnded>(&event.what))
        return endObject(port, *ended);
    return named(std::get<PortChange>(event.what).added ? "added" : "removed", port);
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace morvane::cli::json
