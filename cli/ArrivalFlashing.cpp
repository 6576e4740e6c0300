#include "cli/ArrivalFlashing.h"

#include "cli/ChipSession.h"
#include "cli/CommandRun.h"
#include "cli/JsonOutput.h"
#include "cli/PortChanges.h"
#include "cli/PortListing.h"
#include "cli/RunReport.h"
#include "flasher/LocalText.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

#include <memory>
#include <vector>

namespace morvane::cli {

using rq75x::toLocalBytes;

namespace {

// The sessions of the ports that arrive, on the main thread.
class ProductionLine
{
public:
    ProductionLine(CommandRun& run, const ImageWatch& imageWatch) : run(run), imageWatch(imageWatch) {}

    bool watch()
    {
        return changes.watch([this](const std::optional<QString>& port, bool added) {
            if (port) // a port the system could not name cannot be opened either
                portChanged(*port, added);
        });
    }

    // The user asked to stop: no port is taken any more, the runs still going are interrupted
    // as the interrupt rules say, and the event loop ends.
    void stop()
    {
        changes.stop();
        std::vector<ChipSession*> going;
        for (const auto& [port, session] : running)
            going.push_back(session.get());
        for (ChipSession* session : going)
            session->interrupt();
        CommandRun::quit();
    }

    const ArrivalTally& tally() const { return counts; }

private:
    void portChanged(const QString& name, bool added)
    {
        const auto current = running.find(name);
        if (!added) {
            run.tell({name, PortChange{false}});
            if (current != running.end())
                current->second->portRemoved();
            return;
        }
        // The system may announce a port again while its chip is being worked on.
        if (current != running.end())
            return;
        run.tell({name, PortChange{true}});
        if (const QString change = imageWatch.change(); !change.isEmpty()) {
            run.console().writeErr(toLocalBytes(
                QStringLiteral("morvane-flash: warning: %1 %2; %3 gets the image read at the start "
                               "(SHA-256 %4), not the file as it is now; restart morvane-flash to flash "
                               "the file as it is now\n")
                    .arg(run.image()->path, change, name, imageWatch.sha256())));
        }
        const PortEntry port =
            describePort(name, run.options().reportFile.isEmpty() ? std::vector<PortEntry>{} : listedPorts());
        auto session = std::make_unique<ChipSession>(port, PortOrigin::Arrived, run);
        ChipSession* started = session.get();
        started->setFinishedHandler([this, started] { sessionEnded(started); });
        running[name] = std::move(session);
        started->start();
    }

    // Called from inside the session: it is destroyed on the next turn of the event loop.
    void sessionEnded(ChipSession* session)
    {
        counts.count(session->port(), session->result().outcome);
        const auto entry = running.find(session->port());
        if (entry == running.end() || entry->second.get() != session)
            return;
        ended.push_back(std::move(entry->second));
        running.erase(entry);
        QMetaObject::invokeMethod(
            &changes, [this] { ended.clear(); }, Qt::QueuedConnection);
    }

    CommandRun& run;
    const ImageWatch& imageWatch;
    ArrivalTally counts;
    std::map<QString, std::unique_ptr<ChipSession>> running;
    std::vector<std::unique_ptr<ChipSession>> ended;
    // Last: it goes first, so that no change is delivered to the line while it is destroyed.
    PortChanges changes;
};

QJsonArray jsonArray(const QStringList& names)
{
    QJsonArray array;
    for (const QString& name : names)
        array.append(name);
    return array;
}

} // namespace

ImageWatch::ImageWatch(const rq75x::FirmwareImage& image) : image(image), digest(imageDigest(image.bytes)) {}

QString ImageWatch::change() const
{
    const rq75x::ImageRead read = rq75x::readFirmwareImage(image.path);
    if (read.image && read.image->bytes == image.bytes)
        return {};
    if (read.image || read.status == rq75x::ImageRead::WrongSize)
        return QStringLiteral("has changed on disk since the start");
    return QStringLiteral("can no longer be read (%1)")
        .arg(read.reason.isEmpty() ? read.problem() : read.reason);
}

void ArrivalTally::count(const QString& port, TaskOutcome outcome)
{
    switch (outcome) {
    case TaskOutcome::Completed:
        ++flashed;
        break;
    case TaskOutcome::Skipped:
        ++skipped;
        break;
    case TaskOutcome::Interrupted:
        ++interrupted;
        break;
    default:
        ++failed;
        break;
    }
    lastRunCompleted[port] = outcome == TaskOutcome::Completed;
}

QStringList ArrivalTally::portsWhoseLastRun(bool completed) const
{
    QStringList names;
    for (const auto& [port, lastCompleted] : lastRunCompleted) {
        if (lastCompleted == completed)
            names.append(port);
    }
    return names;
}

ExitStatus ArrivalTally::exitStatus() const
{
    if (interrupted > 0)
        return ExitInterrupted;
    if (!notFlashedPorts().isEmpty())
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

QByteArray summaryJson(const ArrivalTally& tally, ExitStatus status)
{
    return json::line(QJsonObject{
        {QStringLiteral("event"), QStringLiteral("summary")},
        {QStringLiteral("flashed"), tally.flashed},
        {QStringLiteral("failed"), tally.failed},
        {QStringLiteral("interrupted"), tally.interrupted},
        {QStringLiteral("skipped"), tally.skipped},
        {QStringLiteral("flashedPorts"), jsonArray(tally.flashedPorts())},
        {QStringLiteral("notFlashedPorts"), jsonArray(tally.notFlashedPorts())},
        {QStringLiteral("durationMs"), static_cast<qint64>(tally.durationMs)},
        {QStringLiteral("exitCode"), static_cast<int>(status)},
    });
}

ExitStatus flashOnArrival(const Options& options, Console& console)
{
    QElapsedTimer clock;
    clock.start();
    CommandRun run(options, console);
    if (!run.openReport() || !run.readImage({}))
        return ExitBadInput;
    run.recordResults();
    run.showEvents(true, {}, ProgressBoard::DropFinished);

    const ImageWatch imageWatch(*run.image());
    ProductionLine line(run, imageWatch);
    bool watching = true;
    run.exec(
        [&] {
            watching = line.watch();
            if (!watching) {
                CommandRun::quit();
                return;
            }
            console.writeErr("Waiting for chips: each serial port that arrives is flashed; ports present now "
                             "are left alone. Press Ctrl+C to stop.\n");
        },
        [&line] { line.stop(); });
    if (!watching) {
        console.writeErr("morvane-flash: cannot watch for serial ports arriving\n");
        return ExitChipFailure;
    }

    ArrivalTally tally = line.tally();
    tally.durationMs = clock.elapsed();
    // The summary's status is the program's: what the report or standard output lost counts in it.
    const ExitStatus status = run.statusWith(tally.exitStatus());
    const QByteArray text = summaryText(tally);
    console.writeOut(options.json ? summaryJson(tally, status) : text);
    return run.finish(status, text);
}

} // namespace morvane::cli
