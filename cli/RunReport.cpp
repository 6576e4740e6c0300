#include "cli/RunReport.h"

#include "cli/JsonOutput.h"
#include "cli/LocalText.h"

namespace morvane::cli {

namespace {

QString utcText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

void insertUnlessEmpty(QJsonObject& object, const QString& name, const QString& value)
{
    if (!value.isEmpty())
        object.insert(name, value);
}

} // namespace

QJsonObject reportRecord(const PortEntry& port, Command task, const FirmwareImage* image,
                         const TaskResult& result)
{
    QJsonObject record{
        {QStringLiteral("port"), port.name},
        {QStringLiteral("task"), commandName(task)},
        {QStringLiteral("result"), outcomeName(result.outcome)},
        {QStringLiteral("exitCode"), static_cast<int>(exitStatusOf(result.outcome))},
        {QStringLiteral("step"), stepName(result.step)},
        {QStringLiteral("start"), utcText(result.started)},
        {QStringLiteral("end"), utcText(result.started.addMSecs(result.durationMs))},
        {QStringLiteral("durationMs"), static_cast<qint64>(result.durationMs)},
    };
    insertUnlessEmpty(record, QStringLiteral("hardwareId"), port.hardwareId);
    insertUnlessEmpty(record, QStringLiteral("adapter"), port.description);
    if (result.step == RunStep::Block) {
        record.insert(QStringLiteral("block"), static_cast<qint64>(result.block));
        record.insert(QStringLiteral("totalBlocks"), static_cast<qint64>(result.totalBlocks));
    }
    if (result.firmwareInfo)
        record.insert(QStringLiteral("firmwareInfo"), *result.firmwareInfo);
    if (result.answeredFromBootloader)
        record.insert(QStringLiteral("bootMode"), true);
    if (image != nullptr) {
        record.insert(QStringLiteral("image"), image->path);
        record.insert(QStringLiteral("imageSize"), static_cast<qint64>(image->size));
        record.insert(QStringLiteral("imageSha256"), image->sha256);
    }
    if (result.outcome == TaskOutcome::Skipped)
        record.insert(QStringLiteral("skipReason"), skipReasonName(result.skipReason));
    if (openFailed(result)) {
        record.insert(QStringLiteral("errorCode"), result.errorCode);
        record.insert(QStringLiteral("errorMessage"), result.errorMessage);
        insertUnlessEmpty(record, QStringLiteral("errorReason"), result.errorReason);
    }
    insertUnlessEmpty(record, QStringLiteral("detail"), result.detail);
    return record;
}

std::unique_ptr<RunReport> RunReport::open(const QString& path, Console& console)
{
    QString reason;
    std::unique_ptr<ReportFile> file = ReportFile::open(toLocalBytes(path), reason);
    if (!file) {
        console.writeErr(
            toLocalBytes(QStringLiteral("morvane-flash: cannot open the report %1: %2\n").arg(path, reason)));
        return nullptr;
    }
    return std::unique_ptr<RunReport>(new RunReport(path, std::move(file), console));
}

RunReport::RunReport(QString path, std::unique_ptr<ReportFile> file, Console& console)
    : path(std::move(path)), file(std::move(file)), console(console)
{
}

void RunReport::append(const PortEntry& port, Command task, const FirmwareImage* image,
                       const TaskResult& result)
{
    QString reason;
    if (file->append(json::line(reportRecord(port, task, image, result)), reason))
        return;
    ++lostRecords;
    console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: cannot write to the report %1: %2; the "
                                                 "record of %3 is lost\n")
                                      .arg(path, reason, port.name)));
}

} // namespace morvane::cli
