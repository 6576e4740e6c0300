#include "cli/ArrivalFlashing.h"

#include "cli/ChipSession.h"
#include "cli/ChosenOutputs.h"
#include "cli/ImageCheck.h"
#include "cli/ImageWatch.h"
#include "cli/InterruptRequests.h"
#include "cli/JsonOutput.h"
#include "cli/LocalText.h"
#include "cli/PortListing.h"
#include "cli/ProgressMeter.h"
#include "cli/RunReport.h"
#include "serialport/PortChangeMonitor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>

#include <map>
#include <memory>
#include <vector>

namespace morvane::cli {

namespace {

// The sessions of the ports that arrive, on the main thread.
class ProductionLine : public QObject
{
public:
    ProductionLine(const ChipJob& job, Console& console, ImageWatch& imageWatch)
        : job(job), console(console), imageWatch(imageWatch)
    {
    }

    // Starts watching; false when the system's port changes cannot be watched.
    bool watch()
    {
        const vandrel::PortChangeMonitorFactory factory = vandrel::portChangeMonitorFactory();
        if (factory == nullptr)
            return false;
        // On the monitor's thread: the name is valid only during the call.
        monitor = factory([this](const char* portName, unsigned int isAdded) {
            if (portName == nullptr)
                return; // a port the system could not name cannot be opened either
            const QString name = fromLocalBytes(QByteArray(portName));
            const bool added = isAdded != 0;
            QMetaObject::invokeMethod(
                this, [this, name, added] { portChanged(name, added); }, Qt::QueuedConnection);
        });
        return monitor != nullptr;
    }

    // The user asked to stop: no port is taken any more, the runs still going are interrupted
    // as the interrupt rules say, and the event loop ends.
    void stop(const QString& request)
    {
        if (stopping)
            return;
        stopping = true;
        monitor.reset(); // returns once no notification is running; none comes afterwards
        console.writeErr(toLocalBytes(
            QStringLiteral("morvane-flash: %1: stopping; a second signal ends the program at once\n")
                .arg(request)));
        std::vector<ChipSession*> going;
        for (const auto& [port, session] : running)
            going.push_back(session.get());
        for (ChipSession* session : going)
            session->interrupt();
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    }

    const ArrivalTally& tally() const { return counts; }

private:
    void portChanged(const QString& name, bool added)
    {
        if (stopping)
            return;
        const auto current = running.find(name);
        if (!added) {
            job.output->portChanged(name, false);
            if (current != running.end())
                current->second->portRemoved();
            return;
        }
        // The system may announce a port again while its chip is being worked on.
        if (current != running.end())
            return;
        job.output->portChanged(name, true);
        if (const QString change = imageWatch.change(); !change.isEmpty()) {
            console.writeErr(toLocalBytes(
                QStringLiteral("morvane-flash: warning: %1 %2; %3 gets the image read at the start "
                               "(SHA-256 %4), not the file as it is now; restart morvane-flash to flash "
                               "the file as it is now\n")
                    .arg(job.image->path, change, name, job.image->sha256)));
        }
        const PortEntry port =
            describePort(name, job.report != nullptr ? listedPorts() : std::vector<PortEntry>{});
        auto session = std::make_unique<ChipSession>(port, PortOrigin::Arrived, job);
        ChipSession* started = session.get();
        started->setFinishedHandler([this, started] { sessionEnded(started); });
        running[name] = std::move(session);
        started->start();
    }

    // Called from inside the session: it is destroyed on the next turn of the event loop.
    void sessionEnded(ChipSession* session)
    {
        switch (session->outcome()) {
        case TaskOutcome::Completed:
            ++counts.flashed;
            break;
        case TaskOutcome::Skipped:
            ++counts.skipped;
            break;
        case TaskOutcome::Interrupted:
            ++counts.interrupted;
            break;
        default:
            ++counts.failed;
            break;
        }
        const auto entry = running.find(session->port());
        if (entry == running.end() || entry->second.get() != session)
            return;
        ended.push_back(std::move(entry->second));
        running.erase(entry);
        QMetaObject::invokeMethod(
            this, [this] { ended.clear(); }, Qt::QueuedConnection);
    }

    const ChipJob& job;
    Console& console;
    ImageWatch& imageWatch;
    bool stopping = false;
    ArrivalTally counts;
    std::map<QString, std::unique_ptr<ChipSession>> running;
    std::vector<std::unique_ptr<ChipSession>> ended;
    // Last: it goes first, so that no notification is queued for the line while it is destroyed.
    std::unique_ptr<vandrel::PortChangeMonitor> monitor;
};

} // namespace

ExitStatus ArrivalTally::exitStatus() const
{
    if (interrupted > 0)
        return ExitInterrupted;
    if (failed > 0)
        return ExitChipFailure;
    return ExitSuccess;
}

QByteArray summaryText(const ArrivalTally& tally)
{
    return toLocalBytes(
        QStringLiteral("Summary: flashed %1, failed %2, interrupted %3, skipped %4; total time %5\n")
            .arg(tally.flashed)
            .arg(tally.failed)
            .arg(tally.interrupted)
            .arg(tally.skipped)
            .arg(formatDuration(tally.durationMs)));
}

QByteArray summaryJson(const ArrivalTally& tally)
{
    return json::line(QJsonObject{
        {QStringLiteral("event"), QStringLiteral("summary")},
        {QStringLiteral("flashed"), tally.flashed},
        {QStringLiteral("failed"), tally.failed},
        {QStringLiteral("interrupted"), tally.interrupted},
        {QStringLiteral("skipped"), tally.skipped},
        {QStringLiteral("durationMs"), static_cast<qint64>(tally.durationMs)},
        {QStringLiteral("exitCode"), static_cast<int>(tally.exitStatus())},
    });
}

ExitStatus flashOnArrival(const Options& options, Console& console)
{
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<RunReport> report;
    if (!options.reportFile.isEmpty()) {
        report = RunReport::open(options.reportFile, console);
        if (!report)
            return ExitBadInput;
    }
    const ImageCheck check = checkFirmwareImage(options.firmwareFile);
    if (!check.accepted) {
        for (const QString& line : check.lines)
            console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: %1\n").arg(line)));
        return ExitBadInput;
    }
    if (!check.image.snapshot) {
        // The engine would read the file again for every chip, changed or not.
        console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: cannot keep a private copy of %1, which "
                                                     "flashing on arrival needs\n")
                                          .arg(options.firmwareFile)));
        return ExitBadInput;
    }

    ChosenOutputs outputs(console, options.json, true, {}, ProgressBoard::DropFinished);

    ChipJob job;
    job.options = options;
    job.image = &check.image;
    job.output = &outputs.output();
    job.report = report.get();
    ImageWatch imageWatch(check.image);
    ProductionLine line(job, console, imageWatch);

    // Requests to stop reach the line on this thread; a second one ends the process. Declared
    // after the line: it goes first, and with it any request still queued.
    QObject interruptContext;
    InterruptRequests interrupts(
        [&interruptContext, &line](const char* request) {
            const QString name = QString::fromLatin1(request);
            QMetaObject::invokeMethod(
                &interruptContext, [&line, name] { line.stop(name); }, Qt::QueuedConnection);
        },
        ExitInterrupted);

    if (!line.watch()) {
        console.writeErr("morvane-flash: cannot watch for serial ports arriving\n");
        return ExitChipFailure;
    }
    console.writeErr("Waiting for chips: each serial port that arrives is flashed; ports present now are "
                     "left alone. Press Ctrl+C to stop.\n");
    QCoreApplication::exec();
    console.finishProgress();

    ArrivalTally tally = line.tally();
    tally.durationMs = clock.elapsed();
    console.writeOut(options.json ? summaryJson(tally) : summaryText(tally));
    ExitStatus status = tally.exitStatus();
    if (report && report->lost())
        status = std::max(status, ExitOutputLost);
    return status;
}

} // namespace morvane::cli
