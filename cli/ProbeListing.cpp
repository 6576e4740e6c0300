#include "cli/ProbeListing.h"

#include "cli/ChipCommand.h"
#include "cli/ChipSession.h"
#include "cli/JsonOutput.h"
#include "cli/RunReport.h"
#include "cli/TextOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>

namespace morvane::cli {

namespace {

// Keeps each port's result and shows nothing while the ports are asked.
class ProbeResults : public RunOutput
{
public:
    void taskBegun(const QString&, Command, const QString&) override {}
    void statusLine(const QString&, const QString&) override {}
    void replyLine(const QString&, const QString&) override {}
    void progress(const QString&, const Progress&) override {}
    void taskEnded(const QString& port, Command, const TaskResult& result) override
    {
        results[port] = result;
    }

    std::map<QString, TaskResult> results;
};

} // namespace

QString probeName(const TaskResult& result)
{
    switch (result.outcome) {
    case TaskOutcome::Completed:
        return QStringLiteral("firmware");
    case TaskOutcome::BootMode:
        return QStringLiteral("boot-mode");
    case TaskOutcome::Skipped:
        return skipReasonName(result.skipReason);
    case TaskOutcome::Interrupted:
        return QStringLiteral("interrupted");
    default:
        return outcomeName(result.outcome);
    }
}

QString probeAnswer(const TaskResult& result)
{
    switch (result.outcome) {
    case TaskOutcome::Completed:
        return printableLines(result.firmwareInfo.value_or(QString())).join(QLatin1Char(' ')).trimmed();
    case TaskOutcome::BootMode:
        return QStringLiteral("(in boot mode: answered from its bootloader)");
    case TaskOutcome::Skipped:
        switch (result.skipReason) {
        case SkipReason::Silent:
            return QStringLiteral("(silent)");
        case SkipReason::Talking:
            return QStringLiteral("(talks without pause)");
        case SkipReason::CannotOpen:
            return QStringLiteral("(cannot open: %1)")
                .arg(result.errorReason.isEmpty() ? result.errorMessage : result.errorReason);
        case SkipReason::Gone:
            return QStringLiteral("(went away)");
        case SkipReason::None:
            break;
        }
        break;
    case TaskOutcome::Interrupted:
        return QStringLiteral("(interrupted)");
    default:
        break;
    }
    return QStringLiteral("(%1)").arg(outcomeName(result.outcome));
}

QByteArray probeTable(const std::vector<ProbedPort>& ports)
{
    if (ports.empty())
        return QByteArrayLiteral("No avaiable ports\n");
    QList<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("HARDWARE ID"),
                             QStringLiteral("DESCRIPTION"), QStringLiteral("ANSWER")}};
    for (const ProbedPort& probed : ports)
        rows.append(
            {probed.port.name, probed.port.hardwareId, probed.port.description, probeAnswer(probed.result)});
    return alignedTable(rows);
}

QByteArray probeJson(const std::vector<ProbedPort>& ports)
{
    QJsonArray array;
    for (const ProbedPort& probed : ports) {
        QJsonObject object{{QStringLiteral("port"), probed.port.name},
                           {QStringLiteral("hardwareId"), probed.port.hardwareId},
                           {QStringLiteral("description"), probed.port.description},
                           {QStringLiteral("probe"), probeName(probed.result)}};
        if (probed.result.firmwareInfo)
            object.insert(QStringLiteral("firmwareInfo"), *probed.result.firmwareInfo);
        if (openFailed(probed.result)) {
            object.insert(QStringLiteral("errorMessage"), probed.result.errorMessage);
            if (!probed.result.errorReason.isEmpty())
                object.insert(QStringLiteral("errorReason"), probed.result.errorReason);
        }
        if (!probed.result.detail.isEmpty())
            object.insert(QStringLiteral("detail"), probed.result.detail);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact) + '\n';
}

ExitStatus listProbedPorts(const Options& options, Console& console)
{
    std::unique_ptr<RunReport> report;
    if (!options.reportFile.isEmpty()) {
        report = RunReport::open(options.reportFile, console);
        if (!report)
            return ExitBadInput;
    }
    ProbeResults results;
    ChipJob job;
    job.options = options;
    job.options.command = Command::Info;
    job.output = &results;
    job.report = report.get();

    const std::vector<PortEntry> ports = listedPorts();
    std::vector<std::unique_ptr<ChipSession>> sessions;
    for (const PortEntry& port : ports)
        sessions.push_back(std::make_unique<ChipSession>(port, PortOrigin::Listed, job));
    runSessions(sessions, console);

    std::vector<ProbedPort> probed;
    ExitStatus status = ExitSuccess;
    for (const PortEntry& port : ports) {
        probed.push_back({port, results.results[port.name]});
        if (probed.back().result.outcome == TaskOutcome::Interrupted)
            status = ExitInterrupted;
    }
    console.writeOut(options.json ? probeJson(probed) : probeTable(probed));
    if (report && report->lost())
        status = std::max(status, ExitOutputLost);
    return status;
}

} // namespace morvane::cli
