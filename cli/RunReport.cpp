#include "cli/RunReport.h"

#include "cli/JsonOutput.h"
#include "cli/ReportFile.h"
#include "flasher/LocalText.h"

#include <QCryptographicHash>

namespace morvane::cli {

using rq75x::toLocalBytes;

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

QString imageDigest(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QJsonObject reportRecord(const TaskEnded& ended, const rq75x::FirmwareImage* image, const QString& sha256)
{
    const TaskResult& result = ended.result;
    QJsonObject record{
        {QStringLiteral("port"), ended.entry.name},
        {QStringLiteral("task"), commandName(ended.task)},
        {QStringLiteral("result"), outcomeName(result.outcome)},
        {QStringLiteral("exitCode"), static_cast<int>(result.exitStatus)},
        {QStringLiteral("step"), stepName(result.step)},
        {QStringLiteral("start"), utcText(result.started)},
        {QStringLiteral("end"), utcText(result.started.addMSecs(result.durationMs))},
        {QStringLiteral("durationMs"), static_cast<qint64>(result.durationMs)},
    };
    insertUnlessEmpty(record, QStringLiteral("hardwareId"), ended.entry.hardwareId);
    insertUnlessEmpty(record, QStringLiteral("adapter"), ended.entry.description);
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
        record.insert(QStringLiteral("imageSize"), static_cast<qint64>(image->size()));
        record.insert(QStringLiteral("imageSha256"), sha256);
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
    if (!appendToReportFile(path, QByteArray(), reason)) {
        console.writeErr(
            toLocalBytes(QStringLiteral("morvane-flash: cannot open the report %1: %2\n").arg(path, reason)));
        return nullptr;
    }
    return std::unique_ptr<RunReport>(new RunReport(path, console));
}

void RunReport::describeImage(std::shared_ptr<const rq75x::FirmwareImage> flashed)
{
    image = std::move(flashed);
    sha256 = image ? imageDigest(image->bytes) : QString();
}

void RunReport::take(const RunEvent& event)
{
    const auto* ended = std::get_if<TaskEnded>(&event.what);
    if (ended == nullptr)
        return;
    const rq75x::FirmwareImage* described = ended->task == Command::Flash ? image.get() : nullptr;
    QString reason;
    if (appendToReportFile(path, json::line(reportRecord(*ended, described, sha256)), reason))
        return;
    ++lostRecords;
    console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: cannot write to the report %1: %2; the "
                                                 "record of %3 is lost\n")
                                      .arg(path, reason, event.port)));
}

} // namespace morvane::cli
