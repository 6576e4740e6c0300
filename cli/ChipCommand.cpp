#include "cli/ChipCommand.h"

#include "cli/ChosenOutputs.h"
#include "cli/ImageCheck.h"
#include "cli/InterruptRequests.h"
#include "cli/LocalText.h"
#include "cli/PortListing.h"
#include "cli/RunReport.h"

#include <QCoreApplication>

#include <algorithm>

namespace morvane::cli {

namespace {

ExitStatus refuseImage(const Options& options, const QStringList& ports, const ImageCheck& check,
                       RunOutput& output)
{
    TaskResult result;
    result.outcome = TaskOutcome::BadImage;
    for (const QString& port : ports) {
        output.taskBegun(port, options.command, options.firmwareFile);
        for (const QString& line : check.lines)
            output.statusLine(port, line);
        output.taskEnded(port, options.command, result);
    }
    return ExitBadInput;
}

QStringList namesOf(const std::vector<PortEntry>& ports)
{
    QStringList names;
    for (const PortEntry& port : ports)
        names.append(port.name);
    return names;
}

} // namespace

void runSessions(const std::vector<std::unique_ptr<ChipSession>>& sessions, Console& console)
{
    const auto allFinished = [&sessions] {
        return std::all_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->finished(); });
    };
    for (const auto& session : sessions) {
        session->setFinishedHandler([allFinished] {
            // Queued, so that it also ends a loop that has not started yet.
            if (allFinished())
                QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                          Qt::QueuedConnection);
        });
    }
    if (sessions.empty())
        return;
    // The first request to stop reaches the sessions on this thread; a second ends the process.
    // Declared before the loop runs: the context goes first, and with it any request still queued.
    QObject interruptContext;
    const auto interruptAll = [&sessions, &console](const QString& request) {
        console.writeErr(
            toLocalBytes(QStringLiteral("morvane-flash: %1: stopping; a second signal ends the program "
                                        "at once\n")
                             .arg(request)));
        for (const auto& session : sessions)
            session->interrupt();
    };
    InterruptRequests interrupts(
        [&interruptContext, interruptAll](const char* request) {
            const QString name = QString::fromLatin1(request);
            QMetaObject::invokeMethod(
                &interruptContext, [interruptAll, name] { interruptAll(name); }, Qt::QueuedConnection);
        },
        ExitInterrupted);

    for (const auto& session : sessions)
        session->start();
    QCoreApplication::exec();
    console.finishProgress();
}

ExitStatus runChipCommand(const Options& options, Console& console)
{
    std::unique_ptr<RunReport> report;
    if (!options.reportFile.isEmpty()) {
        report = RunReport::open(options.reportFile, console);
        if (!report)
            return ExitBadInput;
    }

    // Listed ports are described in the report; a port named on the command line is described
    // when the list has it.
    std::vector<PortEntry> ports;
    if (options.allPorts) {
        ports = listedPorts();
    } else {
        const std::vector<PortEntry> listed = report ? listedPorts() : std::vector<PortEntry>{};
        for (const QString& name : options.ports)
            ports.push_back(describePort(name, listed));
    }
    const QStringList names = namesOf(ports);

    ChosenOutputs outputs(console, options.json, options.allPorts || names.size() > 1, names);
    RunOutput& output = outputs.output();

    ImageCheck check;
    if (options.command == Command::Flash) {
        check = checkFirmwareImage(options.firmwareFile);
        if (!check.accepted)
            return refuseImage(options, names, check, output);
    }

    ChipJob job;
    job.options = options;
    job.image = options.command == Command::Flash ? &check.image : nullptr;
    job.output = &output;
    job.report = report.get();

    std::vector<std::unique_ptr<ChipSession>> sessions;
    const PortOrigin origin = options.allPorts ? PortOrigin::Listed : PortOrigin::Named;
    for (const PortEntry& port : ports)
        sessions.push_back(std::make_unique<ChipSession>(port, origin, job));
    runSessions(sessions, console);

    ExitStatus worst = ExitSuccess;
    for (const auto& session : sessions)
        worst = std::max(worst, session->exitStatus());
    if (options.allPorts && std::all_of(sessions.begin(), sessions.end(), [](const auto& session) {
            return session->outcome() == TaskOutcome::Skipped;
        })) {
        QString why = QStringLiteral(": no serial port is listed");
        if (sessions.size() == 1)
            why = QStringLiteral(" on the one port listed");
        else if (sessions.size() > 1)
            why = QStringLiteral(" on any of the %1 ports listed").arg(sessions.size());
        console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: no chip answered%1\n").arg(why)));
        worst = std::max(worst, ExitChipFailure);
    }
    // The results went nowhere: give them where they can still be read.
    if (console.outError() != 0) {
        for (const auto& session : sessions)
            console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: %1: Result: %2\n")
                                              .arg(session->port(), outcomeName(session->outcome()))));
    }
    if (report && report->lost())
        worst = std::max(worst, ExitOutputLost);
    return worst;
}

} // namespace morvane::cli
