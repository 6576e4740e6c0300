#include "cli/ProbeListing.h"

#include "cli/ChipCommand.h"
#include "cli/TextOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>

namespace morvane::cli {

namespace {

// Keeps each port's result and shows nothing while the ports are asked.
class ProbeResults : public RunSink
{
public:
    void take(const RunEvent& event) override
    {
        if (const auto* ended = std::get_if<TaskEnded>(&event.what))
            results[event.port] = ended->result;
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
    CommandRun run(options, console);
    if (!run.openReport())
        return ExitBadInput;
    run.recordResults();
    ProbeResults results;
    run.addSink(results);

    const std::vector<PortEntry> ports = listedPorts();
    std::vector<std::unique_ptr<ChipSession>> sessions;
    for (const PortEntry& port : ports)
        sessions.push_back(std::make_unique<ChipSession>(port, PortOrigin::Listed, run));
    runSessions(sessions, run);

    std::vector<ProbedPort> probed;
    ExitStatus status = ExitSuccess;
    for (const PortEntry& port : ports) {
        probed.push_back({port, results.results[port.name]});
        status = std::max(status, probed.back().result.exitStatus);
    }
    console.writeOut(options.json ? probeJson(probed) : probeTable(probed));
    return run.finish(status);
}

} // namespace morvane::cli
